#!/usr/bin/env bash
# Builds the tool if needed, makes sample inputs of its own and walks the
# secure-boot preparation on them, printing what it does and where the
# outputs are. Everything it makes goes into demo-out/ (or $1).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

zud_install_deps
zud_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

TOOL=$PWD/build/zud_encrypt_tqrr
OUT=${1:-$PWD/demo-out}
rm -rf "$OUT"
mkdir -p "$OUT"
cd "$OUT"

step() { printf '\n=== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

demo_help() {
    step "The tool's banner and usage"
    show "$TOOL" --help
}

# A sample Android boot image: a 300000-byte kernel, a 70000-byte ramdisk
# and a 5000-byte second stage, all random, page size 2048.
make_boot_image() {
    head -c 300000 /dev/urandom >kernel.bin
    head -c 70000 /dev/urandom >ramdisk.bin
    head -c 5000 /dev/urandom >second.bin
    mkbootimg --kernel kernel.bin --ramdisk ramdisk.bin --second second.bin \
              --pagesize 2048 -o boot.img
}

demo_sha() {
    step "Section digests of a boot image (compare with sha256sum of the parts)"
    make_boot_image
    show "$TOOL" --sha boot.img
    echo
    sha256sum kernel.bin ramdisk.bin second.bin
}

demo_packages() {
    step "Device packages signed and encrypted with the built-in key"
    show "$TOOL" --mkpsd --password 0123456789abcdef --option jtag --output unlock-jtag.bin
    show "$TOOL" --mkcusid --customerid ACME0001 --output customer-id.bin
    ls -l unlock-jtag.bin customer-id.bin
    step "An SD-card image of the boot image (one random sector, then the file)"
    show "$TOOL" --mksd --input boot.img --output boot.sd.img
    ls -l boot.img boot.sd.img
}

demo_help
demo_sha
demo_packages

step "Done. Outputs are in $OUT"
ls -l "$OUT"
