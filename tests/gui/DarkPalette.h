// A dark desktop palette for the screenshot tools: every role the widgets draw with is set, as a
// dark desktop theme sets them.
#pragma once

#include <QColor>
#include <QPalette>

inline QPalette DarkPalette() {
  QPalette p;
  p.setColor(QPalette::Window, QColor(45, 45, 48));
  p.setColor(QPalette::WindowText, QColor(225, 225, 225));
  p.setColor(QPalette::Base, QColor(30, 30, 30));
  p.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
  p.setColor(QPalette::Text, QColor(225, 225, 225));
  p.setColor(QPalette::PlaceholderText, QColor(130, 130, 130));
  p.setColor(QPalette::Button, QColor(55, 55, 58));
  p.setColor(QPalette::ButtonText, QColor(225, 225, 225));
  p.setColor(QPalette::Highlight, QColor(38, 79, 120));
  p.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
  p.setColor(QPalette::Link, QColor(86, 156, 214));
  p.setColor(QPalette::ToolTipBase, QColor(55, 55, 58));
  p.setColor(QPalette::ToolTipText, QColor(225, 225, 225));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(130, 130, 130));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(130, 130, 130));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(130, 130, 130));
  return p;
}
