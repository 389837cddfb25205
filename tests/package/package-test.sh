#!/usr/bin/env bash
# What a Windows user downloads, tried as a user would in fresh Wine prefixes:
#   zip: unpack both into a fresh drive, convert the samples with both hosts;
#   msi: install both per user, check files, shortcuts and registration,
#        save settings from the installed settings dialog, convert a folder
#        through the installed program, uninstall, check what went and what
#        stayed (PIXMILL.INI).
#   package-test.sh REPO BUILD64   (BUILD64: the win64 build tree)
# Skips (77) when scripts/package.sh has not made the packages.
set -uo pipefail
root=$1 build=$2
version=$(head -1 "$root/VERSION")
dist=${PM_DIST_DIR:-$root/dist}
for f in win32.zip win64.zip x86.msi x64.msi; do
    if [ ! -f "$dist/pixmill-$version-$f" ]; then
        echo "package-test: $dist/pixmill-$version-$f missing; run scripts/package.sh first"
        exit 77
    fi
done

tmp=$(mktemp -d "$build/package-test.XXXXXX")
prefixes=()
cleanup() {
    for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# Every Wine call is bounded: a program that never ends fails the test.
prefix=""
run() { PM_WINEPREFIX=$prefix timeout -k 10 300 "$build/wine-run.sh" "$@"; }
winpath() { WINEPREFIX=$prefix WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }
new_prefix() {
    prefix="$tmp/$1"
    prefixes+=("$prefix")
    run cmd /c exit 0 >/dev/null 2>&1
    [ -f "$prefix/system.reg" ] || { fail "cannot create the Wine prefix $prefix"; exit 1; }
}
# Settings of these runs: 96 x 96 JPEG thumbnails with sub-folders mirrored,
# overwriting, log in the output, no result dialog or file manager at the end.
write_ini() {  # write_ini FILE OUTPUT-FOLDER(windows)
    printf '[IMGCONVERT]\r\nResize=1\r\nSize.cx=96\r\nSize.cy=96\r\nWriteImageType=3\r\nFileMode=3088\r\nWritePath=%s\r\n' "$2" > "$1"
}
samples_in=$(find "$root/samples" -type f | wc -l)
count_outputs() { find "$1" -type f -iname '*.jpg' 2>/dev/null | wc -l; }

# --- zip: unpack anywhere and run -------------------------------------------
new_prefix zip
drive="$prefix/drive_c"
cp -r "$root/samples" "$drive/samples"
for z in win32 win64; do
    name="pixmill-$version-$z"
    (cd "$drive" && unzip -q "$dist/$name.zip") || fail "$name.zip does not unpack"
    dir="$drive/$name"
    for f in PIXMILL.EXE PIXMILUI.DLL pixmillc.exe libheif.dll libde265.dll readme.txt THIRD-PARTY.txt HELP/topics.htm; do
        [ -f "$dir/$f" ] || fail "$name.zip has no $f"
    done
    n=$(find "$dir/licenses" -type f | wc -l)
    [ "$n" -ge 13 ] || fail "$name.zip has $n licence files"
    for lib in libjpeg-turbo libpng libtiff giflib "Little CMS" zlib libwebp libheif libde265 dav1d libdeflate; do
        # grep reads the whole text (no -q): an early exit would end iconv
        # with SIGPIPE, which pipefail reports as a failure.
        iconv -f CP932 -t UTF-8 "$dir/THIRD-PARTY.txt" | grep "^$lib " >/dev/null || fail "THIRD-PARTY.txt of $name does not list $lib"
    done
    iconv -f CP932 -t UTF-8 "$dir/readme.txt" | grep 'アンインストール' >/dev/null || fail "readme.txt of $name is not Japanese in code page 932"
    head -1 "$dir/readme.txt" | grep -q $'\r$' || fail "readme.txt of $name has no CR LF line ends"
    for f in PIXMILL.EXE PIXMILUI.DLL pixmillc.exe; do
        strings -el "$dir/$f" | grep -qx "$version" || fail "$f of $name has no version resource of $version"
    done

    write_ini "$drive/console-$z.ini" "C:\\out-$z-console"
    run "C:\\$name\\pixmillc.exe" --ini "C:\\console-$z.ini" 'C:\samples' > "$tmp/console-$z.log" 2>&1
    rc=$?
    n=$(count_outputs "$drive/out-$z-console")
    if [ $rc = 0 ] && [ "$n" = "$samples_in" ]; then ok "$name: pixmillc converted $n samples"
    else fail "$name: pixmillc exit $rc, $n of $samples_in thumbnails"; iconv -f CP932 -t UTF-8 "$tmp/console-$z.log" | tail -5; fi

    # Unpacked and started from its folder: the settings file is the one there.
    write_ini "$dir/PIXMILL.INI" "C:\\out-$z-gui"
    (cd "$dir" && run "C:\\$name\\PIXMILL.EXE" 'C:\samples' > /dev/null 2>&1)
    rc=$?
    n=$(count_outputs "$drive/out-$z-gui")
    if [ $rc = 0 ] && [ "$n" = "$samples_in" ]; then ok "$name: PIXMILL.EXE converted $n samples"
    else fail "$name: PIXMILL.EXE exit $rc, $n of $samples_in thumbnails"; fi
done

# --- msi: per-user install, use, uninstall ----------------------------------
new_prefix msi
drive="$prefix/drive_c"
cp -r "$root/samples" "$drive/samples"
user_dir=$(find "$drive/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)
install="$user_dir/AppData/Local/Programs/PIXMILL"
start_menu="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
send_to="$user_dir/AppData/Roaming/Microsoft/Windows/SendTo"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\App Paths\PIXMILL.EXE'
for m in x64 x86; do
    msi="pixmill-$version-$m.msi"
    cp "$dist/$msi" "$drive/$msi"
    run msiexec /i "C:\\$msi" /qn > /dev/null 2>&1
    rc=$?
    [ $rc = 0 ] && ok "$msi installs" || fail "$msi: msiexec /i exit $rc"
    for f in PIXMILL.EXE PIXMILUI.DLL pixmillc.exe libheif.dll libde265.dll readme.txt THIRD-PARTY.txt HELP/topics.htm; do
        [ -f "$install/$f" ] || fail "$msi installed no $f in $install"
    done
    [ -f "$start_menu/PIXMILL.lnk" ] || fail "$msi made no Start menu shortcut"
    [ -f "$send_to/PIXMILL.lnk" ] || fail "$msi made no Send To shortcut"
    grep -aq 'PIXMILL.EXE' "$send_to/PIXMILL.lnk" 2>/dev/null || fail "$msi: the Send To shortcut does not lead to PIXMILL.EXE"
    win_install=$(winpath "$install")
    run reg query "$key" /v Path > "$tmp/reg.txt" 2>&1
    grep -qiF "${win_install%\\}" "$tmp/reg.txt" || { fail "$msi registered no App Paths folder"; cat "$tmp/reg.txt"; }

    # Saved from the installed settings dialog, started elsewhere: the file
    # lands in the installed folder that App Paths names.
    rm -f "$install/PIXMILL.INI"
    (cd "$tmp" && run "$(winpath "$build/tools/save_settings.exe")" "$win_install\\PIXMILL.EXE" > "$tmp/save.log" 2>&1)
    rc=$?
    if [ $rc = 0 ] && grep -q '^\[IMGCONVERT\]' "$install/PIXMILL.INI" 2>/dev/null; then ok "$msi: settings saved to the installed folder"
    else fail "$msi: settings not saved in $install (exit $rc)"; cat "$tmp/save.log"; fi

    # A folder converted through the installed program with those settings
    # (output folder and end-of-run choices set for the test).
    if [ -f "$install/PIXMILL.INI" ]; then
        sed -i -e "s/^WritePath=.*/WritePath=C:\\\\out-msi-$m\r/" -e "s/^FileMode=.*/FileMode=3088\r/" "$install/PIXMILL.INI"
    fi
    (cd "$tmp" && run "$win_install\\PIXMILL.EXE" 'C:\samples' > /dev/null 2>&1)
    n=$(count_outputs "$drive/out-msi-$m")
    [ "$n" = "$samples_in" ] && ok "$msi: installed PIXMILL.EXE converted $n samples" ||
        fail "$msi: installed PIXMILL.EXE made $n of $samples_in thumbnails"

    run msiexec /x "C:\\$msi" /qn > /dev/null 2>&1
    rc=$?
    [ $rc = 0 ] && ok "$msi uninstalls" || fail "$msi: msiexec /x exit $rc"
    for f in PIXMILL.EXE PIXMILUI.DLL pixmillc.exe libheif.dll readme.txt HELP/topics.htm; do
        [ ! -e "$install/$f" ] || fail "$msi left $f behind"
    done
    [ ! -e "$start_menu/PIXMILL.lnk" ] || fail "$msi left its Start menu shortcut"
    [ ! -e "$send_to/PIXMILL.lnk" ] || fail "$msi left its Send To shortcut"
    run reg query "$key" > /dev/null 2>&1 && fail "$msi left its App Paths key"
    [ -f "$install/PIXMILL.INI" ] && ok "$msi: PIXMILL.INI kept" || fail "$msi removed the user's PIXMILL.INI"
done

[ $failures = 0 ] && echo "package-test: all passed" || echo "package-test: $failures failures"
[ $failures = 0 ]
