#!/usr/bin/env bash
# Times T-Forge's readers and writers beside objcopy and srec_cat in the same run: 64 MiB in one
# range and in 100 000 ranges, Intel HEX and S-records both ways, binary; and peak memory.
# Uses build/bench/data/bench_convert (TFORGE_BUILD_DIR selects another build directory).
set -euo pipefail
cd "$(dirname "$0")/../.."
conv=${TFORGE_BUILD_DIR:-build}/bench/data/bench_convert
[ -x "$conv" ] || { echo "convert.sh: $conv not built"; exit 1; }
work=$(mktemp -d /tmp/tforge-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# time_of <command...>: seconds, and the peak resident KiB when GNU time is there.
time_of() {
  local t0 t1 peak=""
  t0=$(now)
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%M" -o "$work/mem" "$@" > /dev/null 2> "$work/err" || { cat "$work/err"; return 1; }
    peak=$(tail -1 "$work/mem")
  else
    "$@" > /dev/null 2> "$work/err" || { cat "$work/err"; return 1; }
  fi
  t1=$(now)
  printf "%8.3f s %9s KiB" "$(echo "$t1 - $t0" | bc)" "${peak:--}"
}
row() { # row <label> <tforge cmd> | <objcopy cmd> | <srec_cat cmd>
  local label=$1; shift
  printf "%-34s" "$label"
  local part=() seg
  for seg in "$@"; do
    if [ "$seg" = "|" ]; then
      printf "  %s" "$(time_of "${part[@]}")"; part=()
    else
      part+=("$seg")
    fi
  done
  printf "  %s\n" "$(time_of "${part[@]}")"
}

for ranges in 1 100000; do
  "$conv" --gen "$work/in$ranges.hex" "$ranges" > /dev/null
  "$conv" --gen "$work/in$ranges.s37" "$ranges" > /dev/null
done
head -c $((64 << 20)) /dev/urandom > "$work/in.bin"

echo "64 MiB images                       T-Forge                   objcopy                   srec_cat"
for ranges in 1 100000; do
  row "HEX -> S37 ($ranges range(s))" \
    "$conv" "$work/in$ranges.hex" "$work/t.s37" "|" \
    objcopy -I ihex -O srec --srec-forceS3 "$work/in$ranges.hex" "$work/o.s37" "|" \
    srec_cat "$work/in$ranges.hex" -intel -o "$work/s.s37" -motorola -address-length=4
  row "S37 -> HEX ($ranges range(s))" \
    "$conv" "$work/in$ranges.s37" "$work/t.hex" "|" \
    objcopy -I srec -O ihex "$work/in$ranges.s37" "$work/o.hex" "|" \
    srec_cat "$work/in$ranges.s37" -motorola -o "$work/s.hex" -intel
done
row "BIN -> HEX (1 range)" \
  "$conv" "$work/in.bin" "$work/t.hex" 0x08000000 "|" \
  objcopy -I binary -O ihex --change-addresses 0x08000000 "$work/in.bin" "$work/o.hex" "|" \
  srec_cat "$work/in.bin" -binary -offset 0x08000000 -o "$work/s.hex" -intel
row "HEX -> BIN (1 range)" \
  "$conv" "$work/in1.hex" "$work/t.bin" "|" \
  objcopy -I ihex -O binary "$work/in1.hex" "$work/o.bin" "|" \
  srec_cat "$work/in1.hex" -intel -offset -0x08000000 -o "$work/s.bin" -binary
echo
echo "T-Forge phases (read / write / peak of the whole conversion):"
for ranges in 1 100000; do
  printf "  HEX -> S37, %6s range(s): %s\n" "$ranges" "$("$conv" "$work/in$ranges.hex" "$work/t.s37")"
  printf "  S37 -> HEX, %6s range(s): %s\n" "$ranges" "$("$conv" "$work/in$ranges.s37" "$work/t.hex")"
done
printf "  BIN -> BIN,      1 range(s): %s\n" "$("$conv" "$work/in.bin" "$work/t.bin" 0x08000000)"
echo "  (image: 65536 KiB; the target for peak memory is at most 1.3 times the image, 87381 KiB)"
