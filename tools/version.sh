#!/bin/sh
# Velvoria's version: the project version in CMakeLists.txt, and, built from
# a git checkout, the commit ("1.0.0+g8944c4d", with "-dirty" when tracked
# files differ from it). VELVORIA_VERSION in the environment stands for it
# where the checkout cannot be asked (the release's build in a Debian 11
# system of its own).
#   tools/version.sh               prints it
#   tools/version.sh --source FILE writes it as the C++ definition of
#                                  velvoriaVersion (src/Version.h), touching
#                                  FILE only when it changes
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(velvoria VERSION \([0-9][0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "version.sh: no project version in $ROOT/CMakeLists.txt" >&2
    exit 1
fi
if [ -n "${VELVORIA_VERSION:-}" ]; then
    version=$VELVORIA_VERSION
elif [ -e "$ROOT/.git" ] && command -v git >/dev/null 2>&1 &&
    commit=$(git -C "$ROOT" rev-parse --short=7 HEAD 2>/dev/null); then
    version="$version+g$commit"
    git -C "$ROOT" diff --quiet HEAD -- 2>/dev/null || version="$version-dirty"
fi
if [ "${1:-}" = "--source" ]; then
    file=$2
    text="// Made by tools/version.sh at build time.
extern const char velvoriaVersion[] = \"$version\";"
    if [ "$(cat "$file" 2>/dev/null)" != "$text" ]; then
        mkdir -p "$(dirname "$file")"
        printf '%s\n' "$text" >"$file"
    fi
else
    echo "$version"
fi
