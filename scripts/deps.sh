# Sourced by the other scripts: installs whatever the build, the tests and
# the demo need and is missing, on Debian 12. Nothing else is assumed.

zud_missing_packages() {
    local pkg
    for pkg in cmake make g++ libmbedtls-dev libssl-dev libgtest-dev nlohmann-json3-dev openssl mkbootimg time \
               clang libclang-rt-14-dev \
               arm-trusted-firmware-tools libp11-kit-dev softhsm2 opensc \
               mandoc man-db dpkg-dev file bash-completion python3-jsonschema; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            echo "$pkg"
        fi
    done
}

zud_install_deps() {
    local missing
    missing=$(zud_missing_packages)
    [ -z "$missing" ] && return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    echo "Installing: $missing"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    # shellcheck disable=SC2086
    $sudo apt-get install -y -q --no-install-recommends $missing
}

# Configures and builds one build directory.
zud_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
