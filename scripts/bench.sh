#!/usr/bin/env bash
# Measures the tool on large inputs and prints throughput and peak memory,
# beside a reference program over the same file in the same run. Not a
# test: it only reports figures (and stops if a command fails).
#
#   bash scripts/bench.sh [OUTDIR]     (default: bench-out/)
#
# Each benchmark is one bench_* function; add new ones (bench_bootsig,
# bench_imgsig, ...) to BENCHMARKS below. Inputs are made fresh in OUTDIR
# and deleted after use; the table is also written to OUTDIR/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

BENCHMARKS=(bench_upgsig bench_bootsig bench_imgsig)

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
OUT=${1:-$PWD/bench-out}
mkdir -p "$OUT"
cd "$OUT"
RESULTS=$OUT/results.txt

# A 6976-byte zud_user_key file made without the tool: a fresh 2048-bit
# openssl key written as a 4680-byte full binary key file (eight records of
# 552 bytes: the number little-endian, its 32-bit word count at 544), then
# zero bytes where the keymax (2264) goes and a random AES key (32 bytes,
# also kept in bench-aes.hex for the openssl reference). --upgsig uses only
# the key file at its start; --imgsig also takes the AES key.
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
aes = os.urandom(32)
out += bytes(2264) + aes
open(sys.argv[2], "wb").write(out)
open("bench-aes.hex", "w").write(aes.hex())
EOF
    rm -f bench-key.der
}

# A file of MiB mebibytes of random data (not sparse: holes read faster).
make_input() {
    local path=$1 mib=$2
    head -c "$((mib * 1024 * 1024))" /dev/urandom >"$path"
}

# Runs a command under /usr/bin/time and prints one table row: wall time,
# throughput over BYTES and peak resident memory. Stops on failure.
measure() {
    local label=$1 bytes=$2
    shift 2
    local start end
    start=$(date +%s.%N)
    if ! /usr/bin/time -f %M -o rss.txt "$@" >cmd.log 2>&1; then
        echo "FAILED: $*" >&2
        cat cmd.log >&2
        exit 1
    fi
    end=$(date +%s.%N)
    awk -v label="$label" -v bytes="$bytes" -v s="$start" -v e="$end" -v rss="$(tail -n 1 rss.txt)" \
        'BEGIN { t = e - s; printf "%-10s %-30s %8.2f %10.1f %12d\n", sprintf("%.1f MiB", bytes / 1048576), label, t, bytes / 1e6 / t, rss }' |
        tee -a "$RESULTS"
}

# --upgsig signing and checking (--option chk) of 64 MiB and 1 GiB files,
# with openssl's SHA-256 of the same file as the reference. The signature
# step digests the whole file; the check digests all but the 256-byte block.
bench_upgsig() {
    echo "== --upgsig (2048-bit key), files in the page cache" | tee -a "$RESULTS"
    make_user_key
    local mib file bytes
    for mib in 64 1024; do
        file=upgrade-$mib.bin
        make_input "$file" "$mib"
        bytes=$((mib * 1024 * 1024))
        measure "openssl dgst -sha256" "$bytes" openssl dgst -sha256 "$file"
        measure "--upgsig (sign)" "$bytes" "$TOOL" --upgsig --input "$file" --zuduserkey user.key
        grep -q "zud log: upgrade signature pass!" cmd.log || { cat cmd.log >&2; exit 1; }
        measure "--upgsig --option chk" "$bytes" "$TOOL" --upgsig --input "$file" \
            --zuduserkey user.key --option chk
        grep -q "zud log: upgrade signature verify pass!" cmd.log || { cat cmd.log >&2; exit 1; }
        rm -f "$file"
    done
}

# --imgsig over a boot image with a 64 MiB kernel, a 4 MiB ramdisk and no
# second stage: signing with the default name, signing with --output (which
# adds the trailing signature block: a second SHA-256 pass over the image)
# and packaging without a key. References over the same bytes in the same
# run: openssl's AES-256-CBC of the kernel and SHA-256 of the image. Signing
# reads the image twice (build, then encrypt in place) and hashes it twice
# (block digest, stage digest).
bench_imgsig() {
    echo "== --imgsig (2048-bit key), 64 MiB kernel, files in the page cache" | tee -a "$RESULTS"
    [ -f user.key ] && [ -f bench-aes.hex ] || make_user_key
    make_input kernel.bin 64
    make_input ramdisk.bin 4
    mkbootimg --kernel kernel.bin --ramdisk ramdisk.bin --pagesize 2048 -o boot.img
    local bytes kernel_bytes
    bytes=$(stat -c %s boot.img)
    kernel_bytes=$(stat -c %s kernel.bin)
    measure "openssl enc -aes-256-cbc" "$kernel_bytes" openssl enc -aes-256-cbc -nopad \
        -K "$(cat bench-aes.hex)" -iv 00000000000000000000000000000000 -in kernel.bin -out /dev/null
    measure "openssl dgst -sha256" "$bytes" openssl dgst -sha256 boot.img
    measure "--imgsig (sign)" "$bytes" "$TOOL" --imgsig --input boot.img --zuduserkey user.key
    measure "--imgsig --output" "$bytes" "$TOOL" --imgsig --input boot.img \
        --zuduserkey user.key --output boot.signed
    "$TOOL" --upgsig --input boot.signed --zuduserkey user.key --option chk >cmd.log
    grep -q "zud log: upgrade signature verify pass!" cmd.log || { cat cmd.log >&2; exit 1; }
    measure "--imgsig (package)" "$bytes" "$TOOL" --imgsig --input boot.img
    rm -f kernel.bin ramdisk.bin boot.img boot.img.encrypt boot.img.pkg boot.signed
}

# --bootsig in signing mode with encryption over a bootloader whose FIP
# (made by fiptool) holds four 64 MiB stages, with a zud_user_key file made
# by the tool itself (keys from zud_keytool, --keysig, --keybnd). The run
# signs every stage, seals the eFuse pattern, encrypts the whole output,
# appends the upgrade signature and writes the USB and SD variants. The
# references run over the same bootloader file.
bench_bootsig() {
    echo "== --bootsig (2048-bit key, AES-256), 256 MiB of FIP stages" | tee -a "$RESULTS"
    local keytool
    keytool=$(dirname "$TOOL")/zud_keytool
    "$keytool" generate --bits 2048 --form full --output boot-root.key >/dev/null
    "$keytool" generate --bits 2048 --form full --output boot-user.key >/dev/null
    "$TOOL" --keysig --rkey1 boot-root.key --ukey1 boot-user.key --skey boot-root.key \
        --output boot-keymax.bin >/dev/null
    head -c 32 /dev/urandom >boot-aes.bin
    "$TOOL" --keybnd --ukey boot-user.key --rootkeymax boot-keymax.bin --aeskey boot-aes.bin \
        --output boot-user.zud >/dev/null
    local image
    for image in soc-fw tos-fw tos-fw-extra1 nt-fw; do make_input "$image.bin" 64; done
    fiptool create --soc-fw soc-fw.bin --tos-fw tos-fw.bin --tos-fw-extra1 tos-fw-extra1.bin \
        --nt-fw nt-fw.bin boot-fip.bin
    rm -f soc-fw.bin tos-fw.bin tos-fw-extra1.bin nt-fw.bin
    head -c 49152 /dev/urandom | cat - boot-fip.bin >bootloader.bin
    rm -f boot-fip.bin
    local bytes key
    bytes=$(stat -c %s bootloader.bin)
    key=$(od -An -tx1 boot-aes.bin | tr -d ' \n')
    measure "openssl dgst -sha256" "$bytes" openssl dgst -sha256 bootloader.bin
    measure "openssl enc -aes-256-cbc" "$bytes" openssl enc -aes-256-cbc -K "$key" \
        -iv 00000000000000000000000000000000 -in bootloader.bin -out bootloader.enc
    rm -f bootloader.enc
    measure "--bootsig (sign+encrypt)" "$bytes" "$TOOL" --bootsig --input bootloader.bin \
        --zuduserkey boot-user.zud --aeskey boot-aes.bin --output bootloader.signed
    "$TOOL" --upgsig --input bootloader.signed --zuduserkey boot-user.zud --option chk |
        grep -q "zud log: upgrade signature verify pass!" || { echo "upgrade check failed" >&2; exit 1; }
    ls -l bootloader.signed* | tee -a "$RESULTS"
    rm -f bootloader.bin bootloader.signed* boot-*.key boot-keymax.bin boot-aes.bin boot-user.zud
}

: >"$RESULTS"
{
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
    printf "%-10s %-30s %8s %10s %12s\n" "input" "command" "seconds" "MB/s" "max RSS KiB"
} | tee -a "$RESULTS"
for bench in "${BENCHMARKS[@]}"; do
    "$bench"
done
rm -f rss.txt cmd.log
echo "Results are in $RESULTS"
