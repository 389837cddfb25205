#!/usr/bin/env bash
# Writes the installer's WiX source for a staged release folder:
#   make-wxs.sh STAGE VERSION x86|x64 > pixmill.wxs
# File sources are named relative to STAGE's parent folder: run wixl there.
# A per-user installation (no administrator): the files go to the user's
# programs folder, a Start menu shortcut opens the settings dialog, a Send To
# shortcut converts what is sent, and App Paths under HKEY_CURRENT_USER tells
# start-up where the settings file lives. Uninstalling removes exactly what
# was installed; PIXMILL.INI, written later by the program, stays.
set -euo pipefail
stage=${1%/} version=$2 arch=$3
parent=$(dirname "$stage")
# One upgrade code per architecture, never changed: a newer package of the
# same architecture replaces an older one.
case $arch in
    x64) upgrade=5B0C8E57-2B7E-4E8B-9C55-1A6E0C8F6D41 win64=yes ;;
    x86) upgrade=9D3F2A14-6C1B-4F2E-8A7D-3E5B9C0D2F73 win64=no ;;
    *) echo "make-wxs.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
# wixl 0.101 drops (or crashes on) Japanese texts in the installer's tables,
# so names and descriptions there are ASCII; the files keep their own names.
# MSI versions are MAJOR.MINOR.BUILD, each part at most 255 (65535 for BUILD).
msiversion="$version.0"
reg='Software\PIXMILL'

xml() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }

# Every file in its own component, keyed by a value under the user's key (a
# per-user component may not have a file as its key path).
n=0
component() {
    local path=$1 name
    name=$(basename "$path" | xml)
    n=$((n + 1))
    cat <<XML
          <Component Id="c$n" Guid="*" Win64="$win64">
            <File Id="f$n" Name="$name" Source="$(printf '%s' "${path#"$parent"/}" | xml)"/>
            <RegistryValue Root="HKCU" Key="$reg\\Files" Name="f$n" Type="integer" Value="1" KeyPath="yes"/>
          </Component>
XML
}
folder() {  # folder() DIR ID: the folder's files, then its sub-folders
    local dir=$1 f
    for f in "$dir"/*; do [ -f "$f" ] && component "$f"; done
    for f in "$dir"/*; do
        [ -d "$f" ] || continue
        n=$((n + 1))
        local id="d$n"
        echo "          <Directory Id=\"$id\" Name=\"$(basename "$f" | xml)\">"
        folder "$f"
        echo "            <Component Id=\"r$id\" Guid=\"*\" Win64=\"$win64\">"
        echo "              <RemoveFolder Id=\"rm$id\" On=\"uninstall\"/>"
        echo "              <RegistryValue Root=\"HKCU\" Key=\"$reg\\Folders\" Name=\"$id\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"/>"
        echo "            </Component>"
        echo "          </Directory>"
    done
}

cat <<XML
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="PIXMILL $version" Language="1041" Codepage="932" Version="$msiversion"
           Manufacturer="Vimo Works" UpgradeCode="$upgrade">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perUser" SummaryCodepage="932"
             Description="PIXMILL $version" Comments="Thumbnail maker and batch image converter"/>
    <Property Id="ALLUSERS" Value="2"/>
    <Property Id="MSIINSTALLPERUSER" Value="1"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <MajorUpgrade DowngradeErrorMessage="A newer version of PIXMILL is already installed."/>
    <Media Id="1" Cabinet="pixmill.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="UserPrograms" Name="Programs">
          <Directory Id="INSTALLDIR" Name="PIXMILL">
$(folder "$stage")
            <Component Id="registration" Guid="*" Win64="$win64">
              <RegistryValue Root="HKCU" Key="Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\PIXMILL.EXE" Type="string" Value="[INSTALLDIR]PIXMILL.EXE" KeyPath="yes"/>
              <RegistryValue Root="HKCU" Key="Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\PIXMILL.EXE" Name="Path" Type="string" Value="[INSTALLDIR]"/>
              <RemoveFolder Id="rmInstall" On="uninstall"/>
            </Component>
          </Directory>
          <Component Id="programsFolder" Guid="*" Win64="$win64">
            <RemoveFolder Id="rmPrograms" On="uninstall"/>
            <RegistryValue Root="HKCU" Key="$reg\Folders" Name="Programs" Type="integer" Value="1" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
      <Directory Id="ProgramMenuFolder">
        <Component Id="startMenu" Guid="*" Win64="$win64">
          <Shortcut Id="startMenuShortcut" Name="PIXMILL.lnk" Description="PIXMILL settings"
                    Target="[INSTALLDIR]PIXMILL.EXE" WorkingDirectory="INSTALLDIR"/>
          <RegistryValue Root="HKCU" Key="$reg" Name="StartMenu" Type="integer" Value="1" KeyPath="yes"/>
        </Component>
      </Directory>
      <Directory Id="SendToFolder">
        <Component Id="sendTo" Guid="*" Win64="$win64">
          <Shortcut Id="sendToShortcut" Name="PIXMILL.lnk" Description="Make thumbnails of what is sent, with PIXMILL"
                    Target="[INSTALLDIR]PIXMILL.EXE" WorkingDirectory="INSTALLDIR"/>
          <RegistryValue Root="HKCU" Key="$reg" Name="SendTo" Type="integer" Value="1" KeyPath="yes"/>
        </Component>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">
XML
grep -o 'Component Id="[^"]*"' <<< "$(folder "$stage")" | sed 's/Component Id="\([^"]*\)"/      <ComponentRef Id="\1"\/>/'
cat <<XML
      <ComponentRef Id="registration"/>
      <ComponentRef Id="programsFolder"/>
      <ComponentRef Id="startMenu"/>
      <ComponentRef Id="sendTo"/>
    </Feature>
  </Product>
</Wix>
XML
