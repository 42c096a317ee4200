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
KEYTOOL=$PWD/build/zud_keytool
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
    # The password comes from a file, so it never stands in a command line.
    printf '%s\n' 0123456789abcdef > unlock.pw
    show "$TOOL" --mkpsd --password-file unlock.pw --option jtag --output unlock-jtag.bin
    show "$TOOL" --mkcusid --customerid ACME0001 --output customer-id.bin
    ls -l unlock-jtag.bin customer-id.bin
    step "An SD-card image of the boot image (one random sector, then the file)"
    show "$TOOL" --mksd --input boot.img --output boot.sd.img
    ls -l boot.img boot.sd.img
}

# Root and user keys made with the key tool (one converted from openssl's
# PEM), a keymax signed with the root
# key and checked with openssl, and the first user key bound to it.
demo_keys() {
    step "Key files: a root key and a user key made with zud_keytool"
    show "$KEYTOOL" generate --bits 2048 --form full --output root.key
    show "$KEYTOOL" generate --bits 2048 --form full --output user1.key
    echo "A second user key made by openssl and converted:"
    show openssl genrsa -out user2.pem 2048
    show "$KEYTOOL" convert --pem user2.pem --form full --output user2.key
    ls -l root.key user1.key user2.pem user2.key

    step "Sign a keymax (root key matrix and user key matrix) with the root key"
    show "$TOOL" --keysig --rkey1 root.key --ukey1 user1.key --ukey2 user2.key \
                 --skey root.key --output keymax.bin
    ls -l keymax.bin

    step "Check the keymax signature with openssl over the exported public key"
    show "$KEYTOOL" public --key root.key --output root.pub.pem
    # Signed: the block header (file bytes 16..79) and everything from
    # signed_data_offset (16 + 64 + 256 for a 2048-bit key) to the end.
    { head -c 80 keymax.bin | tail -c 64; tail -c +337 keymax.bin; } >keymax.signed
    head -c 336 keymax.bin | tail -c 256 >keymax.sig
    show openssl dgst -sha256 -verify root.pub.pem -signature keymax.sig keymax.signed

    step "Bind the first user key, the keymax and an AES key into a user key file"
    head -c 32 /dev/urandom >aes.key
    show "$TOOL" --keybnd --ukey user1.key --rootkeymax keymax.bin --aeskey aes.key \
                 --output user1.zudkey
    ls -l user1.zudkey
    echo "Without --aeskey and --output a key is generated and the name derived:"
    show "$TOOL" --keybnd --ukey user1.key --rootkeymax keymax.bin
    ls -l user1.key-keymax.bin-*.key

    step "The second user key is in the keymax but is not its first: refused"
    show "$TOOL" --keybnd --ukey user2.key --rootkeymax keymax.bin --output user2.zudkey \
        || echo "(exit status $?; no user2.zudkey was left behind)"
}

# Signs the sample boot image with the zud_user_key file named by USER_KEY
# (the one the keys demo binds), shows the security header and checks
# the trailing signature block; then packages the image without a key.
demo_imgsig() {
    [ -f boot.img ] || make_boot_image
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

# A sample bootloader: a 40000-byte BL2 in the first 48 KiB, then a FIP made
# by fiptool with a BL31, a BL32 and a BL33 of random bytes. Signed and
# encrypted with the user key file and AES key of demo_keys.
demo_bootsig() {
    step "A sample bootloader: BL2, then a FIP at 48 KiB made with fiptool"
    head -c 40000 /dev/urandom >bl2.bin
    head -c 150000 /dev/urandom >bl31.bin
    head -c 30000 /dev/urandom >bl32.bin
    head -c 500 /dev/urandom >bl33.bin
    show fiptool create --soc-fw bl31.bin --tos-fw bl32.bin --nt-fw bl33.bin fip.bin
    { cat bl2.bin; head -c $((49152 - 40000)) /dev/zero; cat fip.bin; } >bootloader.bin
    show fiptool info fip.bin
    ls -l bootloader.bin

    step "Sign it with the user key file and encrypt it with the AES key"
    show "$TOOL" --bootsig --input bootloader.bin --zuduserkey user1.zudkey --aeskey aes.key \
                 --output bootloader.signed
    echo "The signed bootloader, its eFuse pattern (signed and encrypted with the built-in"
    echo "key) and the USB and SD variants:"
    ls -l bootloader.signed bootloader.signed.efuse bootloader.signed.usb.bl2 \
          bootloader.signed.usb.tpl bootloader.signed.sd.bin

    step "Check the upgrade signature at its end"
    show "$TOOL" --upgsig --input bootloader.signed --zuduserkey user1.zudkey --option chk

    step "A key that the keymax does not name is refused before anything is written (4805)"
    show "$KEYTOOL" generate --bits 2048 --form full --output stranger.key
    show "$TOOL" --bootsig --input bootloader.bin --userkey stranger.key --rootkeymax keymax.bin \
                 --aeskey aes.key --output bootloader.stranger \
        || echo "(exit status $?; no bootloader.stranger was written)"

    step "Without keys: digest-only blocks, unencrypted; fiptool reads the rewritten table"
    show "$TOOL" --bootsig --input bootloader.bin --output bootloader.pkg
    tail -c +49153 bootloader.pkg >bootloader.pkg.fip
    show fiptool info bootloader.pkg.fip
}

# The reader side: the structure of the keymax, and a bootloader signed
# without an AES key checked as a keymax chain against its root key digest
# (the value a device's eFuses carry).
demo_verify() {
    step "Show the keymax: header, keys, and the root key digest for the eFuses"
    show "$KEYTOOL" info keymax.bin
    local root zero
    root=$("$KEYTOOL" info keymax.bin | awk '$1 == "root_key_digest" {print $2; exit}')
    zero=$(printf '0%.0s' $(seq 64))

    step "Sign the bootloader without an AES key and verify its keymax chain"
    show "$TOOL" --bootsig --input bootloader.bin --zuduserkey user1.zudkey \
                 --output bootloader.plain --efuse bootloader.plain.efuse
    show "$KEYTOOL" verify --chain bootloader.plain --root-digests "$root,$zero,$zero"
    echo "With a root digest table that does not admit this root key:"
    show "$KEYTOOL" verify --chain bootloader.plain --root-digests "$zero,$zero,$zero" \
        || echo "(exit status $?)"
}

# The second user key moved into a SoftHSM2 token made in the demo
# directory: the bootloader is signed inside the token, and its decrypted
# BL2 area passes the keymax chain check.
demo_token() {
    local module=/usr/lib/softhsm/libsofthsm2.so uri='pkcs11:token=demo;object=user2'
    step "A SoftHSM2 token in $OUT/tokens holding the second user key (made by openssl)"
    mkdir -p tokens
    printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\n' "$PWD" >softhsm2.conf
    export SOFTHSM2_CONF=$PWD/softhsm2.conf
    show softhsm2-util --init-token --free --label demo --pin 1234 --so-pin 123456
    show openssl pkcs8 -topk8 -nocrypt -in user2.pem -out user2.p8.pem
    show softhsm2-util --import user2.p8.pem --token demo --label user2 --id 02 --pin 1234
    show "$KEYTOOL" info "$uri" --pkcs11-module "$module"

    step "Sign and encrypt the bootloader with the key in the token (PIN from ZUD_PKCS11_PIN)"
    export ZUD_PKCS11_PIN=1234
    show "$TOOL" --bootsig --input bootloader.bin --userkey "$uri" --pkcs11-module "$module" \
                 --rootkeymax keymax.bin --aeskey aes.key --output bootloader.hsm
    ls -l bootloader.hsm bootloader.hsm.efuse

    step "Decrypt its BL2 area with the AES key and verify the keymax chain"
    head -c 49152 bootloader.hsm | openssl enc -d -aes-256-cbc -nopad \
        -K "$(od -An -tx1 -v aes.key | tr -d ' \n')" -iv 00000000000000000000000000000000 \
        >bootloader.hsm.bl2
    local root zero
    root=$("$KEYTOOL" info keymax.bin | awk '$1 == "root_key_digest" {print $2; exit}')
    zero=$(printf '0%.0s' $(seq 64))
    show "$KEYTOOL" verify --chain bootloader.hsm.bl2 --root-digests "$root,$zero,$zero"

    step "A wrong PIN fails cleanly and writes nothing"
    ZUD_PKCS11_PIN=0000 show "$TOOL" --bootsig --input bootloader.bin --userkey "$uri" \
        --pkcs11-module "$module" --rootkeymax keymax.bin --aeskey aes.key \
        --output bootloader.wrong-pin || echo "(exit status $?; no bootloader.wrong-pin was written)"
    unset ZUD_PKCS11_PIN SOFTHSM2_CONF
}

# Every file the demo made, checked the way the boot chain would.
# The second user key signs as if it lived behind a key service: through a
# signer program over openssl, and in two steps with the requests carried
# to the key and the signatures back. Both give the bytes the key file gives.
demo_signer() {
    step "A signer program over openssl pkeyutl, given each request on stdin"
    cat >signer.sh <<'EOS'
#!/bin/sh
# signer.sh KEY.pem FORM KEY_DIGEST BITS: request on stdin, signature on stdout
key=$1 form=$2
case $form in
  sha256-digest) exec openssl pkeyutl -sign -inkey "$key" -pkeyopt digest:sha256 ;;
  pkcs1-block|raw-block) exec openssl pkeyutl -decrypt -inkey "$key" -pkeyopt rsa_padding_mode:none ;;
  *) echo "signer.sh: unknown form $form" >&2; exit 1 ;;
esac
EOS
    chmod +x signer.sh
    show "$KEYTOOL" public --key user2.pem --output user2.pub.pem --force
    show "$KEYTOOL" signer-check --signer "$PWD/signer.sh $PWD/user2.pem" --signer-key user2.pub.pem \
                 --keymax keymax.bin || true
    export SOURCE_DATE_EPOCH=1700000000
    show "$TOOL" --bootsig --input bootloader.bin --userkey user2.pem --rootkeymax keymax.bin \
                 --aeskey aes.key --output bootloader.keyfile >/dev/null
    show "$TOOL" --bootsig --input bootloader.bin --signer "$PWD/signer.sh $PWD/user2.pem" \
                 --signer-key user2.pub.pem --rootkeymax keymax.bin --aeskey aes.key --output bootloader.signer
    show cmp bootloader.keyfile bootloader.signer && echo "signer program: the same bytes as the key file"

    step "Two steps: export the requests, sign them elsewhere, import the signatures"
    rm -rf requests
    show "$TOOL" --bootsig --input bootloader.bin --export-requests requests --signer-key user2.pub.pem \
                 --rootkeymax keymax.bin --aeskey aes.key --output bootloader.twostep
    ls requests
    local req n form
    for req in requests/request-*.bin; do
        n=${req#requests/request-}; n=${n%.bin}
        form=$(python3 -c 'import json,sys; print(json.load(open("requests/requests.json"))["requests"][int(sys.argv[1])-1]["form"])' "$n")
        ./signer.sh user2.pem "$form" <"$req" >"requests/signature-$n.bin"
    done
    show "$TOOL" --bootsig --input bootloader.bin --import-signatures requests --signer-key user2.pub.pem \
                 --rootkeymax keymax.bin --aeskey aes.key --output bootloader.twostep
    show cmp bootloader.keyfile bootloader.twostep && echo "two steps: the same bytes as the key file"

    step "A signer that hashes the digest again is refused, and nothing is written"
    printf '#!/bin/sh\nexec openssl dgst -sha256 -sign "$1"\n' >double-hash.sh
    chmod +x double-hash.sh
    show "$TOOL" --bootsig --input bootloader.bin --signer "$PWD/double-hash.sh $PWD/user2.pem" \
                 --signer-key user2.pub.pem --rootkeymax keymax.bin --aeskey aes.key \
                 --output bootloader.bad || echo "(exit status $?; no bootloader.bad was written)"
    unset SOURCE_DATE_EPOCH
    rm -f bootloader.keyfile* bootloader.signer* bootloader.twostep*
}

demo_check_all() {
    step "Check everything the demo made with zud_keytool verify"
    local f
    for f in keymax.bin user1.zudkey bootloader.plain bootloader.plain.efuse bootloader.pkg \
             boot.img.pkg unlock-jtag.bin customer-id.bin; do
        show "$KEYTOOL" verify "$f" --expect-root "$ROOT"
    done 2>&1 | grep -E '^\$|verified|FAIL|SKIP' || true
    # The eFuse pattern is the anchor a fused board has: its root key
    # digest, and the AES key that opens the encrypted bootloader.
    show "$KEYTOOL" verify bootloader.signed --efuse bootloader.signed.efuse | tail -1
    show "$KEYTOOL" verify bootloader.signed.sd.bin --efuse bootloader.signed.efuse | tail -1
    show "$KEYTOOL" verify bootloader.signed.usb.bl2 --efuse bootloader.signed.efuse | tail -1
    show "$KEYTOOL" verify bootloader.signed.efuse --expect-root "$ROOT" | tail -1
    show "$KEYTOOL" verify boot.signed.img --user-key user1.zudkey --expect-root "$ROOT" | tail -1
    if [ -f bootloader.hsm ]; then
        show "$KEYTOOL" verify bootloader.hsm --aes-key aes.key --expect-root "$ROOT" | tail -1
    fi
    step "An upgrade file, signed, then checked read-only with the public key alone"
    head -c 65536 /dev/urandom >upgrade.bin
    show "$TOOL" --upgsig --input upgrade.bin --zuduserkey user1.zudkey
    chmod 444 upgrade.bin
    show "$KEYTOOL" public --key user1.zudkey --output user1.pub.pem --force
    show "$KEYTOOL" verify upgrade.bin --key user1.pub.pem --any-root | tail -1
    step "A flipped byte in a stage of the encrypted bootloader is found"
    cp bootloader.signed bootloader.damaged
    printf '\x55' | dd of=bootloader.damaged bs=1 seek=70000 conv=notrunc status=none
    show "$KEYTOOL" verify bootloader.damaged --efuse bootloader.signed.efuse | tail -1 || echo "(exit status $?)"
}

# The release set, checked as one: would a board fused with the eFuse
# pattern take every file of it? Then a set with the wrong variant in it.
demo_check_set() {
    step "The whole release set, as a board fused with bootloader.signed.efuse would take it"
    local set=(bootloader.signed bootloader.signed.sd.bin bootloader.signed.usb.bl2 bootloader.signed.usb.tpl
               boot.signed.img upgrade.bin unlock-jtag.bin customer-id.bin)
    [ -f bootloader.hsm ] && set+=(bootloader.hsm)
    show "$KEYTOOL" verify-set --efuse bootloader.signed.efuse "${set[@]}" |
        grep -E '^(eFuse|keymax of|set:)|: verified|FAIL|SKIP' || true
    step "One mismatch: the unencrypted bootloader shipped for boards fused for an encrypted one"
    show "$KEYTOOL" verify-set --efuse bootloader.signed.efuse bootloader.plain boot.signed.img |
        grep -E '^set:|FAIL' || echo "(exit status 1)"
}

demo_help
demo_sha
demo_keys
demo_bootsig
demo_verify
demo_token
demo_signer
USER_KEY=$OUT/user1.zudkey
demo_imgsig
demo_packages
ROOT=$("$KEYTOOL" info keymax.bin | awk '$1 == "root_key_digest" {print $2; exit}')
demo_check_all
demo_check_set

step "Done. Outputs are in $OUT"
ls -l "$OUT"
