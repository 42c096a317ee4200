#!/usr/bin/env bash
# Checks what a release ships, from a finished build directory (default
# build/): the manual pages render without a warning, the bash completion
# offers exactly the commands and options the programs read, and the Debian
# package made by `cpack -G DEB` holds both programs (which run and print
# their version), the manual pages, the completion, the README and the JSON
# report schema.
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}

fail() {
    echo "release check: $*" >&2
    exit 1
}

check_man_pages() {
    local page lint warnings
    for page in man/*.1; do
        lint=$(mandoc -T lint -W warning "$page" 2>&1) || fail "mandoc refuses $page: $lint"
        [ -z "$lint" ] || fail "mandoc warns about $page:"$'\n'"$lint"
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man warns about $page:"$'\n'"$warnings"
    done
    echo "manual pages: lint and rendering clean"
}

# Every result number the headers in tool/ define ("= NNNN," with a comment)
# is named in a manual page.
check_result_numbers() {
    local number missing=""
    for number in $(grep -ohE '= -?[0-9]{3,5}[,;]?[[:space:]]*//' tool/*.h tool/*/*.h | grep -oE '[0-9]{3,5}' | sort -u); do
        grep -qw -- "$number" man/*.1 || missing="$missing $number"
    done
    [ -z "$missing" ] || fail "result numbers missing from the manual pages:$missing"
    echo "manual pages: every result number is listed"
}

# The numbers of a command's results table (kNAMEResults in
# tool/commands/*.h), in its order, one a line: each entry's constant is
# looked up among the enumerators and constants the headers define.
results_table() {
    awk -v table="$1" '
        FNR == 1 { file++ }
        file == 1 {
            line = $0
            while (match(line, /k[A-Za-z0-9]+ = -?[0-9]+/)) {
                pair = substr(line, RSTART, RLENGTH)
                split(pair, part, / = /)
                value[part[1]] = part[2]
                line = substr(line, RSTART + RLENGTH)
            }
            next
        }
        $0 ~ ("zud_result_info " table "\\[\\] = \\{") { inside = 1; next }
        inside && /^};/ { inside = 0 }
        inside && match($0, /^    \{k[A-Za-z0-9]+,/) {
            name = substr($0, RSTART + 5, RLENGTH - 6)
            if (!(name in value)) { print "unknown:" name; next }
            print value[name]
        }' <(cat tool/*/*.h) tool/commands/*.h
}

# The numbers of the "Results" list of a command's subsection in the manual
# page, in its order, one a line.
manual_results() {
    awk -v command="$1" '
        /^\.SS / { here = ($2 == command) ; listing = 0 }
        /^\.SH / { here = 0 }
        here && /^\.B Results/ { listing = 1; next }
        listing && previous == ".TP" {
            word = $2
            gsub(/\\/, "", word)
            print word
        }
        { previous = $0 }' man/zud_encrypt_tqrr.1
}

# Each command's results table and its "Results" list name the same
# numbers in the same order.
check_results_tables() {
    local command table expected listed
    while read -r command table; do
        expected=$(results_table "$table")
        [ -n "$expected" ] || fail "no results table $table"
        listed=$(manual_results "$command")
        [ "$expected" = "$listed" ] ||
            fail "the Results of $command in the manual page differ from $table (< table, > page):"$'\n'"$(diff <(echo "$expected") <(echo "$listed"))"
    done <<'TABLES'
\-\-sha kShaResults
\-\-keysig kKeysigResults
\-\-keybnd kKeybndResults
\-\-bootsig kBootsigResults
\-\-imgsig kImgsigResults
\-\-upgsig kUpgsigResults
\-\-mkpsd kMkpsdResults
\-\-mkcusid kMkcusidResults
\-\-mksd kMksdResults
TABLES
    echo "manual pages: every command's results match its results table"
}

# The long options of the n-th option table (in source order) of a file in
# tool/, one "--name" a line. A table ends with its all-zero entry.
option_table() {
    awk -v want="$2" '
        BEGIN { table = 1 }
        {
            line = $0
            while (match(line, /\{"[a-z0-9-]+", required_argument/)) {
                name = substr(line, RSTART + 2)
                sub(/".*/, "", name)
                if (table == want) print "--" name
                line = substr(line, RSTART + RLENGTH)
            }
            if ($0 ~ /\{nullptr, 0, nullptr, 0\}/) table++
        }' "tool/$1"
}

# Runs a completion function on a command line whose last word is being
# completed; prints the candidates sorted, one a line.
complete_line() {
    local function=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$function"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

same_list() {
    local what=$1 expected=$2 actual=$3
    [ "$expected" = "$actual" ] ||
        fail "completion of $what differs from the program (< program, > completion):"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"
}

check_completion() {
    set +eu  # bash-completion's own functions expect neither
    . /usr/share/bash-completion/bash_completion
    . completion/zud_encrypt_tqrr
    . completion/zud_keytool
    local commands file table command
    commands=$(grep -o '{"[a-z]*", no_argument' tool/zud_encrypt_tqrr.cpp | cut -d'"' -f2 |
               grep -vx error | sed 's/^/--/' | sort)
    same_list "zud_encrypt_tqrr commands" "$commands" "$(complete_line _zud_encrypt_tqrr zud_encrypt_tqrr '')"
    while read -r file table command; do
        same_list "zud_encrypt_tqrr $command" "$(option_table "$file" "$table" | sort)" \
            "$(complete_line _zud_encrypt_tqrr zud_encrypt_tqrr "$command" '')"
    done <<'TABLES'
commands/bootsig.cpp 1 --bootsig
commands/imgsig.cpp 1 --imgsig
commands/upgsig.cpp 1 --upgsig
commands/keysig.cpp 1 --keysig
commands/keysig.cpp 2 --keybnd
commands/packages.cpp 1 --mksd
commands/packages.cpp 2 --mkpsd
commands/packages.cpp 3 --mkcusid
TABLES
    local keytool=$BUILD/zud_keytool
    commands=$("$keytool" --help | sed -n 's/^  zud_keytool \([a-z-]*\).*/\1/p')
    same_list "zud_keytool commands" "$(printf '%s\n' $commands --help --version | sort)" \
        "$(complete_line _zud_keytool zud_keytool '')"
    for command in $commands; do
        same_list "zud_keytool $command" \
            "$({ "$keytool" "$command" --help | sed -n 2p | grep -o -- '--[a-z0-9-]*'; echo --help; } | sort)" \
            "$(complete_line _zud_keytool zud_keytool "$command" --)"
    done
    [ "$(complete_line _zud_encrypt_tqrr zud_encrypt_tqrr --bootsig --input README.m)" = README.md ] ||
        fail "completion of a path option does not offer file names"
    set -eu
    echo "bash completion: commands and options match the programs"
}

check_package() {
    local version deb root
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
    rm -f "$BUILD"/zud-encrypt-tqrr_*.deb
    local log
    log=$(cd "$BUILD" && cpack -G DEB 2>&1) || fail "cpack -G DEB failed:"$'\n'"$log"
    deb=$(ls "$BUILD"/zud-encrypt-tqrr_"$version"_*.deb) || fail "no package for version $version"
    dpkg-deb -f "$deb" Depends | grep -q libmbedcrypto || fail "$deb does not depend on libmbedcrypto"
    dpkg-deb -f "$deb" Depends | grep -q libssl || fail "$deb does not depend on libssl"
    root=$(mktemp -d)
    trap 'rm -rf "$root"' RETURN
    dpkg-deb -x "$deb" "$root"
    local program line
    for program in zud_encrypt_tqrr zud_keytool; do
        line=$("$root/usr/bin/$program" --version) || fail "$program --version failed"
        [[ $line == "$program $version (mbed TLS "*", OpenSSL "*")" ]] ||
            fail "unexpected version line: $line"
        for file in "usr/share/man/man1/$program.1.gz" \
                    "usr/share/bash-completion/completions/$program"; do
            [ -s "$root/$file" ] || fail "$deb lacks /$file"
        done
    done
    [ -s "$root/usr/share/doc/zud-encrypt-tqrr/README.md" ] || fail "$deb lacks the README"
    local schema=usr/share/zud_keytool/report.schema.json
    [ -s "$root/$schema" ] || fail "$deb lacks /$schema"
    cmp -s "$root/$schema" share/zud_keytool/report.schema.json || fail "$deb ships another /$schema"
    echo "package: $(basename "$deb") unpacks and runs"
}

check_man_pages
check_result_numbers
check_results_tables
check_completion
check_package
