#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, unpacks it into
# a scratch directory and checks what a user gets from it:
#   package_test.sh BUILD_DIR VERSION        (VERSION as in the file name, e.g. 2.8-1)
set -u
build=$1 version=$2
arch=$(dpkg --print-architecture)
scratch=$(mktemp -d -t ambrel-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# cpack in its own directory, so a "make package" in the build tree at the
# same time does not collide with this one.
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack -G DEB failed" >&2
  exit 1
fi
deb=$scratch/out/ambrel_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
  echo "FAIL: no ambrel_${version}_${arch}.deb; cpack made:" >&2
  ls "$scratch/out" >&2
  exit 1
fi

# Depends is made by dpkg-shlibdeps from the libraries the programs link:
# every entry then carries the lowest version that has the symbols used.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libqt6core6 libqt6widgets6 libpulse0 libspeex1 libgsm1 libsndfile1; do
  [[ ", $depends," =~ ", $lib (>= "[^\)]+")," ]] || fail "Depends lacks '$lib (>= version)'"
done
[ "$(dpkg-deb -f "$deb" Package)" = ambrel ] || fail "package name is not ambrel"

# Nothing but programs, the unit and shared data; owned by root.
dpkg-deb -c "$deb" >"$scratch/list"
while read -r mode owner _ _ _ path; do
  case "$path" in
    ./usr/|./usr/bin/*|./usr/lib/|./usr/lib/systemd/|./usr/lib/systemd/user/*|./usr/share/*) ;;
    *) fail "unexpected path in the package: $path" ;;
  esac
  [ "$owner" = root/root ] || fail "$path is owned by $owner"
  case "$path" in ./usr/bin/?*) [ "$mode" = -rwxr-xr-x ] || fail "$path has mode $mode" ;; esac
done <"$scratch/list"

root=$scratch/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x failed" >&2; exit 1; }
for f in usr/bin/ambrel usr/bin/ambrel-codec \
         usr/share/man/man1/ambrel.1.gz usr/share/man/man1/ambrel-codec.1.gz \
         usr/lib/systemd/user/ambrel@.service usr/share/applications/ambrel.desktop \
         usr/share/icons/hicolor/scalable/apps/ambrel.svg; do
  [ -s "$root/$f" ] || fail "missing $f"
done

# The programs run from the package with the system's libraries.
help=$("$root/usr/bin/ambrel" --help) || fail "ambrel --help failed"
[[ $help == *"Usage: ambrel [options]"* ]] || fail "ambrel --help prints no usage"
[[ $("$root/usr/bin/ambrel" --version) == "Ambrel ${version%-*} "* ]] || fail "ambrel --version is not ${version%-*}"
codec=$root/usr/bin/ambrel-codec
head -c 16000 /dev/urandom >"$scratch/in.raw"   # one second at 8 kHz
"$codec" encode gsm_8khz "$scratch/in.raw" "$scratch/in.gsm" || fail "ambrel-codec encode failed"
"$codec" decode gsm_8khz "$scratch/in.gsm" "$scratch/out.raw" || fail "ambrel-codec decode failed"
[ "$(stat -c %s "$scratch/in.gsm" 2>/dev/null)" = 1650 ] || fail "50 GSM frames are not 1650 bytes"
[ "$(stat -c %s "$scratch/out.raw" 2>/dev/null)" = 16000 ] || fail "decoding gave not 8000 samples back"
"$codec" >/dev/null 2>"$scratch/usage"; status=$?
[ "$status" = 2 ] && grep -q "missing command" "$scratch/usage" || fail "ambrel-codec without arguments: exit $status"

# Manual pages: compressed, and formatted without a warning.
for page in ambrel ambrel-codec; do
  gz=$root/usr/share/man/man1/$page.1.gz
  gzip -t "$gz" || fail "$page.1.gz is not gzip"
  warnings=$(zcat "$gz" | groff -man -t -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$page.1 formats with warnings: $warnings"
  [ "$(MANPATH=$root/usr/share/man man -w "$page")" = "$gz" ] || fail "man does not find $page(1) in the package"
done

# Icons: a PNG of each size the desktops look for.
for n in 16 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${n}x${n}/apps/ambrel.png
  read -r -a ihdr < <(od -An -tu1 -j12 -N12 "$png" 2>/dev/null)
  # "IHDR" then width and height as 32-bit big-endian numbers.
  if [ "${ihdr[*]:0:4}" != "73 72 68 82" ]; then fail "${n}x${n} icon is not a PNG"; continue; fi
  w=$(( (ihdr[6] << 8) | ihdr[7] )) h=$(( (ihdr[10] << 8) | ihdr[11] ))
  [ "$w" = "$n" ] && [ "$h" = "$n" ] || fail "${n}x${n} icon is ${w}x${h}"
done
desktop=$root/usr/share/applications/ambrel.desktop
grep -qx "Exec=ambrel" "$desktop" && grep -qx "Icon=ambrel" "$desktop" || fail "desktop entry does not start ambrel with its icon"

# The user unit runs the installed program with the instance's options.
unit=$root/usr/lib/systemd/user/ambrel@.service
grep -qx 'ExecStart=/usr/bin/ambrel --headless $AMBREL_OPTS' "$unit" || fail "ExecStart is not '/usr/bin/ambrel --headless \$AMBREL_OPTS'"
grep -qx 'EnvironmentFile=%E/ambrel/%i.conf' "$unit" || fail "the unit does not read ~/.config/ambrel/%i.conf"
grep -qx 'Restart=on-failure' "$unit" || fail "the unit is not Restart=on-failure"
if command -v systemd-analyze >/dev/null 2>&1; then
  # An instance of the unit whose program is the unpacked one (verify
  # insists that it exists), with its manual page found in the package.
  mkdir -m 700 "$scratch/run"
  sed "s#=/usr/bin/#=$root/usr/bin/#" "$unit" >"$scratch/ambrel@test.service"
  out=$(XDG_RUNTIME_DIR=$scratch/run MANPATH=$root/usr/share/man \
        systemd-analyze --user verify "$scratch/ambrel@test.service" 2>&1) || fail "systemd-analyze verify failed"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
  echo "systemd-analyze not installed: the unit is not verified"
fi

[ "$failures" = 0 ] || exit 1
echo "ambrel_${version}_${arch}.deb: ok"
