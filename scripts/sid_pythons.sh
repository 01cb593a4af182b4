#!/usr/bin/env bash
# Usage: scripts/sid_pythons.sh [--make]
# CPython 3.14 and 3.15 as Debian's sid suite builds them, on machines whose own Debian has neither.
# Their binaries need sid's C library, so they come in a root that debootstrap makes once per
# machine (LUMO_SID_ROOT, default ~/.cache/lumo/sid), and they run in place rather than chrooted:
# a launcher starts each one with the root's own dynamic loader and libraries. Every path the
# interpreter then sees (the checkout, its venvs, pip's cache, the CA bundle) is this machine's, and
# an extension it builds is compiled by this machine's compiler against this machine's C library,
# so its wheel needs no newer glibc than the wheels of the machine's own interpreters.
#
# Prints the launchers of a whole root, one per line, oldest first. With --make, a root that is
# missing or not whole is (re)made first; that needs root privileges and Debian's mirror, and
# where either is lacking a note on stderr says so and nothing is printed. Without --make, a missing
# root is reported on stderr too: interpreters are never left out silently.
set -uo pipefail
versions=(3.14 3.15)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/lumo
root=${LUMO_SID_ROOT:-$cache/sid}
packages=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv
# What a whole root is made of (with the version of the launchers' recipe); another is remade.
recipe="sid minbase $packages launchers-1"

note() { echo "note: $*" >&2; }

# Unmounts whatever is mounted below $1 (debootstrap mounts /proc and /sys in the root it makes,
# and an interrupted run leaves them there), so that removing the directory never reaches them.
unmount_below() {
  local mounts
  mounts=$(awk -v top="$1/" 'index($2 "/", top) == 1 { print $2 }' /proc/mounts | sort -r)
  [ -z "$mounts" ] || echo "$mounts" | xargs -r -n 1 umount -l
}

# Whether the root at $1 is whole: made from this recipe, with every launcher running its
# interpreter, venv and headers included.
whole() {
  [ "$(cat "$1/.lumo-recipe" 2>/dev/null)" = "$recipe" ] || return 1
  local v
  for v in "${versions[@]}"; do
    [ -f "$1/usr/include/python$v/Python.h" ] || return 1
    "$1/usr/local/bin/python$v" -c 'import ssl, venv, ensurepip, sysconfig' 2>/dev/null || return 1
  done
}

# The mirror apt uses here (deb822 sources first, then sources.list), else Debian's own.
mirror() {
  local uri
  uri=$(awk '/^URIs:/ && !/security/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
  [ -n "$uri" ] || uri=$(awk '/^deb / && !/security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
  echo "${uri:-http://deb.debian.org/debian}"
}

# Makes the root at $1 (a new directory). Non-zero, with a note saying why, when it cannot.
make_root() {
  local dir=$1 v loader triplet
  if [ "$(id -u)" -ne 0 ]; then
    note "debootstrap needs root privileges"; return 1
  fi
  if ! command -v debootstrap >/dev/null 2>&1; then
    echo "== installing debootstrap from Debian's packages" >&2
    { apt-get install -y -q debootstrap || { apt-get update -q && apt-get install -y -q debootstrap; }; } \
      >"$cache/apt.log" 2>&1 || { note "debootstrap could not be installed (see $cache/apt.log)"; return 1; }
  fi
  echo "== making a Debian sid root with CPython ${versions[*]} in $dir (about a minute, once per machine)" >&2
  debootstrap --variant=minbase --include="$packages" sid "$dir" "$(mirror)" \
    >"$cache/debootstrap.log" 2>&1
  local status=$?
  unmount_below "$dir"
  [ $status -eq 0 ] || { note "debootstrap failed (see $cache/debootstrap.log)"; return 1; }
  loader=$(ls "$dir"/usr/lib/*-linux-gnu/ld-linux*.so.* 2>/dev/null | head -n 1)
  [ -n "$loader" ] || { note "the root has no dynamic loader"; return 1; }
  triplet=$(basename "$(dirname "$loader")")
  for v in "${versions[@]}"; do
    # The launcher passes its own path as argv[0]: the interpreter finds its prefix from there
    # (usr/local/bin sits below usr/lib/python3.x), and a venv's symlink to it finds the venv.
    cat >"$dir/usr/local/bin/python$v" <<EOF
#!/bin/sh
# CPython $v of the Debian sid root $root, run in place on its own loader and libraries.
exec "$root${loader#"$dir"}" --argv0 "\$0" --library-path "$root/usr/lib/$triplet" "$root/usr/bin/python$v" "\$@"
EOF
    chmod +x "$dir/usr/local/bin/python$v"
    # Debian's pyconfig.h includes <$triplet/python$v/pyconfig.h>; this machine's compiler looks
    # for it below the interpreter's include directory, which is what builds are given.
    ln -sfn "../$triplet" "$dir/usr/include/python$v/$triplet"
    # ensurepip takes pip from Debian's wheel directory, named by an absolute path: the root's,
    # not this machine's (whose pip may be too old for these interpreters).
    sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$root/usr/share/python-wheels/'|" \
      "$dir"/usr/lib/python"$v"/_sysconfigdata_*.py
    find "$dir/usr/lib/python$v" -maxdepth 2 -name '_sysconfigdata_*.pyc' -delete
  done
  echo "$recipe" >"$dir/.lumo-recipe"
}

mkdir -p "$cache" || exit 0
exec 9>"$cache/sid.lock"
if [ "${1:-}" = --make ]; then
  flock 9
  if ! whole "$root"; then
    if [ -e "$root" ]; then
      echo "== the sid root in $root is not whole; making it again" >&2
      unmount_below "$root"
      rm -rf "$root"
    fi
    # Made beside its place and moved in whole, so a failed or interrupted run leaves no half root.
    # The launchers name the final place, so the root is checked only once it is there.
    rm -rf "$root.new"
    if make_root "$root.new" && mv "$root.new" "$root" && whole "$root"; then
      echo "== the sid root is ready: $(du -sh "$root" | cut -f1)" >&2
    else
      unmount_below "$root.new"
      rm -rf "$root.new"
      whole "$root" || rm -rf "$root"
      note "CPython ${versions[*]} are left out on this machine (see the README, 'Interpreters')"
      exit 0
    fi
  fi
else
  flock -s 9
  if ! whole "$root"; then
    note "CPython ${versions[*]} from Debian sid are not set up here; 'make test' or 'scripts/sid_pythons.sh --make' sets them up"
    exit 0
  fi
fi
for v in "${versions[@]}"; do echo "$root/usr/local/bin/python$v"; done
