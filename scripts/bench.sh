#!/usr/bin/env bash
# Times the tool on large inputs against standard programs doing the same
# hashing, encryption or copying, in the same run, and prints for each
# command: the tool's median time, the comparison's median time, their
# ratio beside the goal, and the tool's peak memory beside its 16 MiB limit.
# Not a test: it only reports figures (and stops if a command fails).
#
#   bash scripts/bench.sh [OUTDIR]          (default: bench-out/)
#   BENCH_SCALE=16 bash scripts/bench.sh    (every input 16 times smaller)
#   BENCH_ROUNDS=3 bash scripts/bench.sh    (timed rounds per row, default 5)
#   BENCH_ONLY="bench_sha bench_mksd" bash scripts/bench.sh   (some rows only)
#
# Method, for every row: the input is read once into the page cache, the
# tool and the comparison each run once untimed (the tool's output is
# checked then), and then BENCH_ROUNDS rounds alternate one timed tool run
# with one timed comparison run. Each side's median is reported; the raw
# times go to OUTDIR/rounds.txt. Outputs of the previous run are deleted,
# untimed, before each run, so every run writes fresh files.
#
# The tool fsyncs every output before giving it its name, so a comparison
# that writes a file writes it in OUTDIR and then fsyncs it (`sync FILE`)
# inside the timed command; one that only hashes writes nothing.
#
# Each benchmark is one bench_* function, listed in BENCHMARKS. Inputs are
# made fresh in OUTDIR and deleted after use; the table is also written to
# OUTDIR/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

read -r -a BENCHMARKS <<<"${BENCH_ONLY:-bench_upgsig bench_sha bench_imgsig bench_bootsig bench_verify_set bench_mksd}"
SCALE=${BENCH_SCALE:-1}
ROUNDS=${BENCH_ROUNDS:-5}
RSS_LIMIT_KIB=16384

bench_install_python() {
    command -v python3 >/dev/null && return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends python3-minimal
}

zud_install_deps
bench_install_python
zud_build build-release -DCMAKE_BUILD_TYPE=Release -DZUD_BUILD_TESTS=OFF >/dev/null

TOOL=$PWD/build-release/zud_encrypt_tqrr
KEYTOOL=$PWD/build-release/zud_keytool
OUT=${1:-$PWD/bench-out}
mkdir -p "$OUT"
cd "$OUT"
OUT=$PWD
RESULTS=$OUT/results.txt
ROUND_LOG=$OUT/rounds.txt
TOOL_Q=$(printf %q "$TOOL")
ZERO_IV=00000000000000000000000000000000

# MiB at full size divided by BENCH_SCALE, at least 1.
scaled_mib() {
    local mib=$(($1 / SCALE))
    echo $((mib > 0 ? mib : 1))
}

# A file of MiB mebibytes of random data (not sparse: holes read faster).
make_input() {
    local path=$1 mib=$2
    head -c "$((mib * 1024 * 1024))" /dev/urandom >"$path"
}

# A 6976-byte zud_user_key file made without the tool: a fresh 2048-bit
# openssl key written as a 4680-byte full binary key file (eight records of
# 552 bytes: the number little-endian, its 32-bit word count at 544), then
# zero bytes where the keymax (2264) goes and a random AES key (32 bytes).
# --upgsig uses only the key file at its start.
make_user_key() {
    openssl genrsa -out bench-key.pem 2048 2>/dev/null
    openssl rsa -in bench-key.pem -traditional -outform DER -out bench-key.der 2>/dev/null
    python3 - bench-key.der user.key <<'EOF'
import os, sys

def tlv(b, i):
    tag, n = b[i], b[i + 1]
    i += 2
    if n & 0x80:
        k = n & 0x7F
        n = int.from_bytes(b[i:i + k], "big")
        i += k
    return tag, b[i:i + n], i + n

der = open(sys.argv[1], "rb").read()
_, body, _ = tlv(der, 0)
numbers, i = [], 0
while i < len(body):
    _, value, i = tlv(body, i)
    numbers.append(int.from_bytes(value, "big"))
# version, N, E, D, P, Q, DP, DQ, QP
out = bytearray(4680)
for index, x in enumerate(numbers[1:9]):
    le = x.to_bytes(max(1, (x.bit_length() + 7) // 8), "little")
    at = index * 552
    out[at:at + len(le)] = le
    out[at + 544:at + 548] = ((len(le) + 3) // 4).to_bytes(4, "little")
out += bytes(2264) + os.urandom(32)
open(sys.argv[2], "wb").write(out)
EOF
    rm -f bench-key.der bench-key.pem
}

# A zud_user_key file with a real keymax, as --bootsig and --imgsig need:
# root and user keys from zud_keytool, the keymax from --keysig, the file
# from --keybnd with a random AES key (kept in aes.bin, and as hex in
# AES_HEX for openssl).
make_bound_key() {
    "$KEYTOOL" generate --bits 2048 --form full --output root.key --force >/dev/null
    "$KEYTOOL" generate --bits 2048 --form full --output signer.key --force >/dev/null
    "$TOOL" --keysig --rkey1 root.key --ukey1 signer.key --skey root.key --output keymax.bin >/dev/null
    head -c 32 /dev/urandom >aes.bin
    "$TOOL" --keybnd --ukey signer.key --rootkeymax keymax.bin --aeskey aes.bin \
        --output bound.key >/dev/null
    AES_HEX=$(od -An -tx1 aes.bin | tr -d ' \n')
}

remove_keys() {
    rm -f user.key root.key signer.key keymax.bin aes.bin bound.key
}

# An Android boot image (2048-byte pages) with a kernel of KERNEL_MIB, a
# 4 MiB ramdisk and a 1 MiB second stage, all random.
make_boot_image() {
    make_input kernel.bin "$1"
    make_input ramdisk.bin "$(scaled_mib 4)"
    make_input second.bin 1
    mkbootimg --kernel kernel.bin --ramdisk ramdisk.bin --second second.bin \
        --pagesize 2048 -o boot.img
}

# bootloader.bin: 48 KiB of BL2, then a FIP (made by fiptool) of four
# 64 MiB stages.
make_bootloader() {
    local image stage_mib
    stage_mib=$(scaled_mib 64)
    for image in soc-fw tos-fw tos-fw-extra1 nt-fw; do make_input "$image.bin" "$stage_mib"; done
    fiptool create --align 16 --soc-fw soc-fw.bin --tos-fw tos-fw.bin \
        --tos-fw-extra1 tos-fw-extra1.bin --nt-fw nt-fw.bin fip.bin
    rm -f soc-fw.bin tos-fw.bin tos-fw-extra1.bin nt-fw.bin
    head -c 49152 /dev/urandom | cat - fip.bin >bootloader.bin
    rm -f fip.bin
}

# Runs the shell command CMD once under /usr/bin/time; sets RUN_SECONDS
# (wall time) and RUN_RSS (peak resident KiB). Its output goes to cmd.log;
# a failure stops the benchmark.
run_timed() {
    local cmd=$1 t0 t1
    t0=$EPOCHREALTIME
    if ! /usr/bin/time -f %M -o rss.txt sh -c "$cmd" >cmd.log 2>&1; then
        echo "FAILED: $cmd" >&2
        cat cmd.log >&2
        exit 1
    fi
    t1=$EPOCHREALTIME
    RUN_SECONDS=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
    RUN_RSS=$(tail -n 1 rss.txt)
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# One table row.
#   row LABEL BYTES TARGET COMPARISON TOOL_CMD COMPARISON_CMD RESET_CMD EXPECT
# TOOL_CMD and COMPARISON_CMD are shell commands run in OUTDIR; RESET_CMD
# runs untimed before every run; the untimed first run of the tool must
# print EXPECT (a grep pattern; empty: anything).
row() {
    local label=$1 bytes=$2 target=$3 comparison=$4 tool_cmd="exec $5" ref_cmd=$6
    local reset=$7 expect=$8
    local tool_times=() ref_times=() rss=0 round
    sh -c "$reset"
    run_timed "$tool_cmd"
    rss=$RUN_RSS
    if [ -n "$expect" ] && ! grep -q -- "$expect" cmd.log; then
        echo "FAILED: '$expect' not printed by: $tool_cmd" >&2
        cat cmd.log >&2
        exit 1
    fi
    sh -c "$reset"
    run_timed "$ref_cmd"
    for ((round = 1; round <= ROUNDS; round++)); do
        sh -c "$reset"
        run_timed "$tool_cmd"
        tool_times+=("$RUN_SECONDS")
        ((RUN_RSS > rss)) && rss=$RUN_RSS
        sh -c "$reset"
        run_timed "$ref_cmd"
        ref_times+=("$RUN_SECONDS")
    done
    sh -c "$reset"
    echo "$label: tool ${tool_times[*]} | $comparison ${ref_times[*]}" >>"$ROUND_LOG"
    awk -v label="$label" -v bytes="$bytes" -v t="$(median "${tool_times[@]}")" \
        -v r="$(median "${ref_times[@]}")" -v goal="$target" -v cmp="$comparison" \
        -v rss="$rss" -v limit="$RSS_LIMIT_KIB" 'BEGIN {
            ratio = t / r
            printf "%-26s %9.1f %7.3f  %-28s %7.3f %6.2f  <=%-5s %-4s %8d  %s\n",
                label, bytes / 1048576, t, cmp, r, ratio, goal,
                ratio <= goal + 0 ? "PASS" : "MISS", rss, rss < limit + 0 ? "PASS" : "MISS"
        }' | tee -a "$RESULTS"
}

# --upgsig signing and checking (--option chk) of a 1 GiB file. Signing
# hashes the whole file and appends one block (fsynced); the file is cut
# back to its size before every run, so each run signs the same bytes. The
# check hashes all but the last 256 bytes. Comparison: openssl's SHA-256 of
# the same file.
bench_upgsig() {
    make_user_key
    local mib bytes
    mib=$(scaled_mib 1024)
    bytes=$((mib * 1024 * 1024))
    make_input upgrade.bin "$mib"
    cat upgrade.bin >/dev/null
    row "--upgsig (sign)" "$bytes" 0.9 "dgst" \
        "$TOOL_Q --upgsig --input upgrade.bin --zuduserkey user.key" \
        "openssl dgst -sha256 upgrade.bin" \
        "truncate -s $bytes upgrade.bin" "zud log: upgrade signature pass!"
    "$TOOL" --upgsig --input upgrade.bin --zuduserkey user.key >/dev/null
    row "--upgsig --option chk" "$((bytes + 256))" 0.9 "dgst" \
        "$TOOL_Q --upgsig --input upgrade.bin --zuduserkey user.key --option chk" \
        "openssl dgst -sha256 upgrade.bin" \
        ":" "zud log: upgrade signature verify pass!"
    rm -f upgrade.bin
    remove_keys
}

# --sha over a boot image with a 256 MiB kernel, a 4 MiB ramdisk and a
# 1 MiB second stage. Comparison: openssl's SHA-256 of the three parts as
# separate files, one openssl process (the same hashing, without the
# header and the padding between the parts).
bench_sha() {
    make_boot_image "$(scaled_mib 256)"
    cat boot.img kernel.bin ramdisk.bin second.bin >/dev/null
    row "--sha" "$(stat -c %s boot.img)" 0.9 "dgst x3 parts" \
        "$TOOL_Q --sha boot.img" \
        "openssl dgst -sha256 kernel.bin ramdisk.bin second.bin" \
        "rm -f boot.img.sha" "zud log : sha len="
    rm -f boot.img kernel.bin ramdisk.bin second.bin
}

# --imgsig signing (with a bound zud_user_key file) of a boot image with a
# 256 MiB kernel, a 4 MiB ramdisk and a 1 MiB second stage.
# - Default output (no trailer). Comparison: openssl's SHA-256 of the
#   image and its AES-256-CBC (no padding, key and zero IV given) into a
#   file, fsynced: one hash for the signatures, one cipher pass.
# - --output adds the trailing signature block, a SHA-256 of the whole
#   output. Comparison: the same, plus openssl's SHA-256 of the encrypted
#   file it wrote (the same size as the output, minus the trailer).
# On both rows the tool also hashes each encrypted stage for the security
# header; the comparison does not count that pass.
bench_imgsig() {
    make_bound_key
    make_boot_image "$(scaled_mib 256)"
    rm -f kernel.bin ramdisk.bin second.bin
    cat boot.img >/dev/null
    local bytes enc
    bytes=$(stat -c %s boot.img)
    enc="openssl enc -aes-256-cbc -nopad -K $AES_HEX -iv $ZERO_IV -in boot.img -out ref.enc && sync ref.enc"
    row "--imgsig (sign)" "$bytes" 0.8 "dgst + enc" \
        "$TOOL_Q --imgsig --input boot.img --zuduserkey bound.key" \
        "openssl dgst -sha256 boot.img && $enc" \
        "rm -f boot.img.encrypt ref.enc" ""
    row "--imgsig --output" "$bytes" 1.05 "dgst + enc + dgst(enc)" \
        "$TOOL_Q --imgsig --input boot.img --zuduserkey bound.key --output boot.signed" \
        "openssl dgst -sha256 boot.img && $enc && openssl dgst -sha256 ref.enc" \
        "rm -f boot.signed ref.enc" ""
    "$TOOL" --imgsig --input boot.img --zuduserkey bound.key --output boot.signed >/dev/null
    "$TOOL" --upgsig --input boot.signed --zuduserkey bound.key --option chk |
        grep -q "zud log: upgrade signature verify pass!" || { echo "imgsig trailer check failed" >&2; exit 1; }
    rm -f boot.img boot.signed
    remove_keys
}

# --bootsig in signing mode with encryption (bound zud_user_key file and
# --aeskey) over a bootloader whose FIP (made by fiptool) holds four
# 64 MiB stages. The run signs every stage, seals the eFuse pattern,
# encrypts the output, appends the upgrade signature (a SHA-256 of the
# whole output) and writes the USB and SD variants (two more copies).
# Comparison: openssl's SHA-256 and AES-256-CBC (into a file, fsynced) of
# the bootloader. It counts neither the trailer's hash nor the variants.
bench_bootsig() {
    make_bound_key
    make_bootloader
    cat bootloader.bin >/dev/null
    row "--bootsig (sign+enc)" "$(stat -c %s bootloader.bin)" 1.0 "dgst + enc" \
        "$TOOL_Q --bootsig --input bootloader.bin --zuduserkey bound.key --aeskey aes.bin --output boot.signed" \
        "openssl dgst -sha256 bootloader.bin && openssl enc -aes-256-cbc -nopad -K $AES_HEX -iv $ZERO_IV -in bootloader.bin -out ref.enc && sync ref.enc" \
        "rm -f boot.signed boot.signed.* ref.enc" ""
    "$TOOL" --bootsig --input bootloader.bin --zuduserkey bound.key --aeskey aes.bin \
        --output boot.signed >/dev/null 2>&1
    "$TOOL" --upgsig --input boot.signed --zuduserkey bound.key --option chk |
        grep -q "zud log: upgrade signature verify pass!" || { echo "bootsig trailer check failed" >&2; exit 1; }
    rm -f bootloader.bin boot.signed boot.signed.*
    remove_keys
}

# zud_keytool verify-set over a release set: a bootloader of four 64 MiB
# stages signed and encrypted by --bootsig, its SD image, and a kernel image
# with a 128 MiB kernel signed by --imgsig with a trailer. Comparison:
# openssl's SHA-256 of the three files and its AES-256-CBC decryption of
# each (to /dev/null): one hash and one cipher pass over every byte.
bench_verify_set() {
    make_bound_key
    local f
    make_bootloader
    "$TOOL" --bootsig --input bootloader.bin --zuduserkey bound.key --aeskey aes.bin --output bl.bin >/dev/null 2>&1
    rm -f bootloader.bin bl.bin.usb.bl2 bl.bin.usb.tpl
    make_boot_image "$(scaled_mib 128)"
    "$TOOL" --imgsig --input boot.img --zuduserkey bound.key --output img.enc >/dev/null
    rm -f boot.img kernel.bin ramdisk.bin second.bin
    local files="bl.bin bl.bin.sd.bin img.enc" bytes=0 dec=""
    for f in $files; do
        bytes=$((bytes + $(stat -c %s "$f")))
        dec="$dec && openssl enc -d -aes-256-cbc -nopad -K $AES_HEX -iv $ZERO_IV -in $f -out /dev/null"
    done
    cat $files >/dev/null
    row "verify-set" "$bytes" 1.2 "dgst + enc -d" \
        "$(printf %q "$KEYTOOL") verify-set --efuse bl.bin.efuse $files" \
        "openssl dgst -sha256 $files $dec" \
        ":" "set: verified"
    rm -f bl.bin bl.bin.efuse bl.bin.sd.bin img.enc
    remove_keys
}

# --mksd of a 1 GiB file. Comparison: cp of the file, fsynced.
bench_mksd() {
    local mib
    mib=$(scaled_mib 1024)
    make_input sd-input.bin "$mib"
    cat sd-input.bin >/dev/null
    row "--mksd" "$((mib * 1024 * 1024))" 1.05 "cp" \
        "$TOOL_Q --mksd --input sd-input.bin --output sd.img" \
        "cp sd-input.bin ref.img && sync ref.img" \
        "rm -f sd.img ref.img" ""
    rm -f sd-input.bin
}

: >"$RESULTS"
: >"$ROUND_LOG"
{
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "BENCH_SCALE=$SCALE, $ROUNDS rounds, medians in seconds; ratio = tool / comparison; comparisons that write fsync their file"
    printf "%-26s %9s %7s  %-28s %7s %6s  %-7s %-4s %8s  %s\n" "command" "input MiB" "tool s" \
        "comparison" "comp s" "ratio" "goal" "time" "RSS KiB" "RSS<16MiB"
} | tee -a "$RESULTS"
for bench in "${BENCHMARKS[@]}"; do
    "$bench"
done
rm -f rss.txt cmd.log
echo "Results are in $RESULTS (each round's times in $ROUND_LOG)"
