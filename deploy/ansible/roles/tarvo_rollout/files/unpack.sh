#!/bin/sh
# Self-extracting package: this script with the package's gzip'd tar archive
# appended after the marker line.  Usage: SCRIPT ROOT MD5 (the archive's).
#
# The archive is checked, unpacked into a staging directory beside the tree
# and each of its files renamed into place (a rename is atomic, and a running
# program may be replaced so), VERSION last, after a manifest of the programs
# that the next rollout checks.  Settings in etc/ that exist are kept, and
# nothing the package does not carry is touched.  A staging directory left
# behind, or programs that do not match the manifest, mean a half-done
# install: the next rollout installs again.
root=${1:-/}
want=$2
fail() { echo "install: $*" >&2; exit 1; }
skip=$(awk '/^__TARVO_ARCHIVE__$/ { print NR + 1; exit }' "$0")
set -- $(tail -n +"$skip" "$0" | md5sum)
[ "$1" = "$want" ] || fail "the package was damaged on the way (checksum $1, sent $want)"
opt=$root/opt
stage=$opt/.tarvo_update.stage
version=opt/tarvo_update/VERSION
manifest=opt/tarvo_update/.manifest
rm -rf "$stage" && mkdir -p "$stage" || fail "cannot make $stage"
tail -n +"$skip" "$0" | tar -xzf - -C "$stage" || fail "cannot unpack into $stage"
[ -f "$stage/$version" ] || fail "the package has no $version"
cd "$stage" || fail "cannot enter $stage"
# Directories first: made where missing, with the package's mode.
find . -type d | while read -r d; do
  [ -d "$root/$d" ] && continue
  mkdir -p "$root/$d" && chmod "$(stat -c %a "$d")" "$root/$d" || exit 1
done || fail "cannot make the package's directories"
: > "$stage.list" || fail "cannot write $stage.list"
find . ! -type d ! -path "./$version" | while read -r f; do
  rel=${f#./}
  dest=$root/$rel
  case $rel in
    opt/tarvo_update/etc/*) [ -e "$dest" ] && continue ;;
  esac
  mv -f "$f" "$dest.tarvo-new" && mv -f "$dest.tarvo-new" "$dest" || exit 1
  case $rel in
    opt/tarvo_update/etc/* | opt/tarvo_update/fw/*) ;;
    *) echo "$rel" >> "$stage.list" || exit 1 ;;
  esac
done || fail "cannot put the package's files in place"
# The private directories (lock, records): root's and the group of etc/, mode
# 2770, an older installation's 1777 put right.
"$root/opt/tarvo_update/bin/tarvo_dirs" "$root" || fail "cannot set up the private directories"
# Summed once everything is in place: a link (www/set.cgi) is summed as the
# file it names, which may come after it.
(cd "$root" && while read -r rel; do md5sum "$rel" || exit 1; done) \
  < "$stage.list" > "$stage.manifest" && rm -f "$stage.list" || fail "cannot write $stage.manifest"
md5sum "$version" >> "$stage.manifest" || fail "cannot write $stage.manifest"
mv -f "$stage.manifest" "$root/$manifest" || fail "cannot write $root/$manifest"
mv -f "$version" "$root/$version.tarvo-new" && mv -f "$root/$version.tarvo-new" "$root/$version" ||
  fail "cannot put $version in place"
cd / && rm -rf "$stage" || fail "cannot remove $stage"
exit 0
__TARVO_ARCHIVE__
