# Sourced by tools/release.sh and tests/release.sh: fresh Debian systems in
# a directory, made by debootstrap (minbase) from the mirror apt uses here,
# and commands run in them with chroot. Needs root.
#   debian_root SUITE DIR CACHE [PACKAGE...]
#       DIR holds a fresh Debian SUITE with those packages: unpacked from the
#       tarball CACHE when it is there, else made and then kept as CACHE
#       (CACHE "-": made every time, kept nowhere)
#   root_mount DIR                 /proc and /dev in DIR
#   root_bind DIR HOST INSIDE [ro] the host's directory HOST at INSIDE in DIR
#   in_root DIR COMMAND...         COMMAND in DIR with a plain environment
#                                  (PATH, HOME, LANG and the words of ROOT_ENV)
#   roots_unmount [FROM]           unmounts what root_mount and root_bind
#                                  mounted (from the FROMth on), the last
#                                  first (callers trap EXIT)

ROOTS_MIRROR=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
[ -n "$ROOTS_MIRROR" ] || ROOTS_MIRROR=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
[ -n "$ROOTS_MIRROR" ] || ROOTS_MIRROR=http://deb.debian.org/debian
ROOTS_MOUNTED=()
ROOT_ENV=()

# Mount points at or under a directory, deepest first (as /proc lists them:
# a space is \040).
mounts_under() {
    local dir
    dir=$(realpath -m "$1" | sed 's/ /\\040/g')
    awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/mounts | sort -r | sed 's/\\040/ /g'
}

unmount_under() {
    local point
    while IFS= read -r point; do
        [ -n "$point" ] && { umount "$point" 2>/dev/null || umount -l "$point"; }
    done < <(mounts_under "$1")
}

roots_unmount() {
    local from=${1:-0} i
    for (( i = ${#ROOTS_MOUNTED[@]} - 1; i >= from; i-- )); do
        if mountpoint -q "${ROOTS_MOUNTED[$i]}"; then
            umount "${ROOTS_MOUNTED[$i]}" 2>/dev/null || umount -l "${ROOTS_MOUNTED[$i]}" || true
        fi
    done
    ROOTS_MOUNTED=("${ROOTS_MOUNTED[@]:0:from}")
}

root_mount() {
    local dir=$1
    if ! mountpoint -q "$dir/proc"; then
        mount -t proc proc "$dir/proc" && ROOTS_MOUNTED+=("$dir/proc")
    fi
    if ! mountpoint -q "$dir/dev"; then
        mount --bind /dev "$dir/dev" && ROOTS_MOUNTED+=("$dir/dev")
    fi
}

root_bind() {
    local dir=$1 host=$2 inside=$3 mode=${4:-rw}
    mkdir -p "$dir$inside"
    mount --bind "$host" "$dir$inside" || return 1
    ROOTS_MOUNTED+=("$dir$inside")
    [ "$mode" = ro ] && mount -o remount,bind,ro "$dir$inside"
    return 0
}

in_root() {
    local dir=$1
    shift
    chroot "$dir" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 "${ROOT_ENV[@]}" "$@"
}

debian_root() {
    local suite=$1 dir=$2 cache=$3
    shift 3
    # Whatever a run killed on its way left mounted there goes first: never
    # delete through a mount.
    unmount_under "$dir"
    if [ -n "$(mounts_under "$dir")" ]; then
        echo "debian-root: $dir still has mounts; not touched" >&2
        return 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "$cache" != - ] && [ -s "$cache" ]; then
        tar -xzf "$cache" -C "$dir"
        return
    fi
    if ! debootstrap --variant=minbase "$suite" "$dir" "$ROOTS_MIRROR" >"$dir.log" 2>&1; then
        tail -n 5 "$dir.log" >&2
        return 1
    fi
    # Packages are installed as on a viewer's machine, without starting
    # services.
    printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
    chmod +x "$dir/usr/sbin/policy-rc.d"
    cp /etc/resolv.conf "$dir/etc/resolv.conf"
    if [ $# -gt 0 ]; then
        local status=0 mounted=${#ROOTS_MOUNTED[@]}
        root_mount "$dir"
        in_root "$dir" sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "$@" && apt-get clean' sh "$@" >>"$dir.log" 2>&1 || status=$?
        roots_unmount "$mounted"
        if [ "$status" -ne 0 ]; then
            tail -n 5 "$dir.log" >&2
            return 1
        fi
    fi
    [ "$cache" = - ] && return 0
    mkdir -p "$(dirname "$cache")"
    tar -czf "$cache.part" -C "$dir" . && mv "$cache.part" "$cache"
}
