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

# A zud_user_key file made without the keys commands: a fresh 2048-bit
# openssl key written as a 4680-byte full binary key file (eight records of
# 552 bytes: the number little-endian, its 32-bit word count at 544), then
# 2264 zero bytes where the keymax goes and a random 32-byte AES key.
make_demo_user_key() {
    command -v python3 >/dev/null || {
        local sudo=""
        if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends python3-minimal
    }
    openssl genrsa -out demo-key.pem 2048 2>/dev/null
    openssl rsa -in demo-key.pem -traditional -outform DER -out demo-key.der 2>/dev/null
    python3 - demo-key.der "$1" <<'EOF_PY'
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
out = bytearray(4680)
for index, x in enumerate(numbers[1:9]):  # N, E, D, P, Q, DP, DQ, QP
    le = x.to_bytes(max(1, (x.bit_length() + 7) // 8), "little")
    at = index * 552
    out[at:at + len(le)] = le
    out[at + 544:at + 548] = ((len(le) + 3) // 4).to_bytes(4, "little")
out += bytes(2264) + os.urandom(32)
open(sys.argv[2], "wb").write(out)
EOF_PY
    rm -f demo-key.der
}

# Signs the sample boot image with the zud_user_key file named by USER_KEY
# (made here when USER_KEY is empty), shows the security header and checks
# the trailing signature block; then packages the image without a key.
demo_imgsig() {
    [ -f boot.img ] || make_boot_image
    if [ -z "${USER_KEY:-}" ]; then
        step "A zud_user_key file for the demo (fresh openssl key, random AES key)"
        make_demo_user_key "$OUT/demo-user.key"
        USER_KEY=$OUT/demo-user.key
        ls -l "$USER_KEY"
    fi
    step "Sign and encrypt the boot image (kernel, ramdisk, second stage)"
    show "$TOOL" --imgsig --input boot.img --zuduserkey "$USER_KEY" --output boot.signed.img
    ls -l boot.img boot.signed.img
    step "The ZUDSECU! security header at offset 1024 (format, count, timestamp, first record)"
    show od -A d -t x1z -j 1024 -N 128 boot.signed.img
    step "The trailing signature block passes the upgrade check"
    show "$TOOL" --upgsig --input boot.signed.img --zuduserkey "$USER_KEY" --option chk
    step "A signed image is not signed twice (result 5719)"
    show "$TOOL" --imgsig --input boot.signed.img --zuduserkey "$USER_KEY" \
        --output boot.twice.img || echo "(exit status $?; boot.twice.img is left empty)"
    step "Package the boot image without a key: digest-only stages, nothing encrypted"
    show "$TOOL" --imgsig --input boot.img
    ls -l boot.img.pkg
}

demo_help
demo_sha
demo_imgsig

step "Done. Outputs are in $OUT"
ls -l "$OUT"
