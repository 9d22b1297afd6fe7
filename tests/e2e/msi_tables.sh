#!/bin/bash
# The MSI package as tools/msi_release.sh makes it from the built tolvard.exe, read back with
# msitools and no Wine: the same inputs give the same bytes in any time zone; the tables hold the
# files (the exe and tolvard-messages.dll as the release zip holds them, each with its own file
# version), the components, the folder under Program Files, the PATH entry, the event source's
# key, the version, the fixed upgrade code, the per-machine install and the major upgrade, which
# removes the older version after the newer one is installed; another version gets another
# product code and keeps the rest.
E2E_WITHOUT_WINE=1
. "$(dirname "$0")/lib.sh"
work_dir msi_tables
version=${TOLVARD_VERSION:?}
messages_version=${TOLVARD_MESSAGES_VERSION:?}
src=${TOLVARD_SOURCE:?}
case ${TOLVARD_BITS:?} in
# msiextract puts ProgramFilesFolder in "Program Files" and knows no ProgramFiles64Folder.
32) arch=x86 template="Intel;1033" folder=ProgramFilesFolder component_bits=0
    upgrade_code="{46C2674B-8FD1-40A0-95D6-98DFA5499292}" extracted="Program Files/tolvard" ;;
64) arch=x64 template="x64;1033" folder=ProgramFiles64Folder component_bits=256
    upgrade_code="{95D4BFA2-274F-45C0-B812-AA3A15170420}" extracted=tolvard ;;
esac
for tool in wixl msibuild msiinfo msiextract; do
    command -v "$tool" >/dev/null || die "$tool is missing: bash tools/deps.sh"
done

# make_msi DIR VERSION: the package in DIR/tolvard-VERSION-ARCH.msi.
make_msi() {
    bash "$src/tools/msi_release.sh" "$MINGW_STRIP" "$TOLVARD" "$2" "$arch" "$src" "$1" \
        >"$1.out" 2>&1 || die "msi_release.sh failed: $(cat "$1.out")"
}
# table MSI NAME: the rows of a table, tab-separated, without the three heading lines.
table() {
    msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4 | LC_ALL=C sort
}
# cell MSI TABLE KEY COLUMN: one value, the row found by its first column.
cell() {
    table "$1" "$2" | awk -F '\t' -v key="$3" -v col="$4" '$1 == key { print $col }'
}

epoch=1796725801
SOURCE_DATE_EPOCH=$epoch TZ=UTC make_msi "$W/a" "$version"
sleep 1
SOURCE_DATE_EPOCH=$epoch TZ=Asia/Tokyo make_msi "$W/b" "$version"
msi=$W/a/tolvard-$version-$arch.msi
[ -f "$msi" ] || die "no tolvard-$version-$arch.msi: $(ls "$W/a")"
check_true "same inputs, a second later in another time zone: the same package" \
    cmp -s "$msi" "$W/b/tolvard-$version-$arch.msi"

# The files as the release zip holds them.
bash "$src/tools/stage_release.sh" "$MINGW_STRIP" "$TOLVARD" "$src" "$W/stage" ||
    die "stage_release.sh failed"
size() { stat -c %s "$W/stage/$1"; }
IFS=. read -r major minor patch <<<"$version"

tab=$'\t'
expected_files=$(LC_ALL=C sort <<EOF
tolvard.exe${tab}Exe${tab}tolvard.exe${tab}$(size tolvard.exe)${tab}$major.$minor.$patch.0${tab}1033${tab}512${tab}1
tolvard_messages.dll${tab}Messages${tab}TOLVAR~1.DLL|tolvard-messages.dll${tab}$(size tolvard-messages.dll)${tab}$messages_version.0${tab}1033${tab}512${tab}2
README.txt${tab}Docs${tab}README.txt${tab}$(size README.txt)${tab}${tab}${tab}512${tab}3
LICENSE.txt${tab}Docs${tab}LICENSE.txt${tab}$(size LICENSE.txt)${tab}${tab}${tab}512${tab}4
CHANGELOG.txt${tab}Docs${tab}CHANGE~1.TXT|CHANGELOG.txt${tab}$(size CHANGELOG.txt)${tab}${tab}${tab}512${tab}5
EOF
)
check_eq "File: the five files (short names beside long ones), the exe and the DLL versioned" \
    "$expected_files" "$(table "$msi" File)"
check_eq "MsiFileHash: hashes of the texts only (a versioned file has none)" \
    "CHANGELOG.txt LICENSE.txt README.txt" "$(table "$msi" MsiFileHash | cut -f1 | paste -sd' ')"
source_row=$(table "$msi" Registry | awk -F '\t' '$4 == "EventMessageFile" { print $1 }')
check_eq "Component: the files keyed by their first file, the event source by its message file" \
    "Docs INSTALLDIR $component_bits README.txt
EventSource INSTALLDIR $((component_bits + 4)) $source_row
Exe INSTALLDIR $component_bits tolvard.exe
Messages INSTALLDIR $component_bits tolvard_messages.dll" \
    "$(table "$msi" Component | awk -F '\t' '{ print $1, $3, $4, $6 }')"
check_eq "Component: each with a GUID" 4 \
    "$(table "$msi" Component | cut -f2 | grep -cE '^\{[0-9A-F-]{36}\}$')"
source_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\tolvard'
check_eq "Registry: the event source's key, made and deleted whole, its message file expandable" \
    "2|$source_key|*||EventSource
2|$source_key|EventMessageFile|#%[INSTALLDIR]tolvard-messages.dll|EventSource
2|$source_key|TypesSupported|#7|EventSource" \
    "$(table "$msi" Registry | cut -f2- | tr '\t' '|' | LC_ALL=C sort)"
check_eq "Directory: tolvard under $folder" \
    "INSTALLDIR $folder tolvard
$folder TARGETDIR .
TARGETDIR  SourceDir" "$(table "$msi" Directory | tr '\t' ' ')"
check_eq "FeatureComponents: one feature with all four" "Main Docs
Main EventSource
Main Exe
Main Messages" "$(table "$msi" FeatureComponents | tr '\t' ' ')"
check_eq "Environment: the folder appended to the system PATH, taken out on uninstall" \
    "PATH =-*PATH [~];[INSTALLDIR] Exe" "$(table "$msi" Environment | tr '\t' ' ')"

# property | value ("" for none)
properties=(
    "ProductName|tolvard"
    "ProductVersion|$version"
    "Manufacturer|the tolvard developers"
    "UpgradeCode|$upgrade_code"
    "ALLUSERS|1"
    "ARPNOMODIFY|1"
    "ARPHELPLINK|"
    "ARPNOREMOVE|"
    "MSIINSTALLPERUSER|"
)
for row in "${properties[@]}"; do
    IFS='|' read -r name value <<<"$row"
    check_eq "Property $name" "$value" "$(cell "$msi" Property "$name" 2)"
done
product_code=$(cell "$msi" Property ProductCode 2)
check_true "ProductCode is a GUID: $product_code" grep -qE '^\{[0-9A-F-]{36}\}$' <<<"$product_code"

# The actions that the package depends on, in their order.
check_eq "InstallExecuteSequence: the registry and PATH after the files, the older version last" \
    "FindRelatedProducts LaunchConditions InstallValidate InstallInitialize RemoveRegistryValues RemoveEnvironmentStrings RemoveFiles InstallFiles WriteRegistryValues WriteEnvironmentStrings InstallFinalize RemoveExistingProducts" \
    "$(table "$msi" InstallExecuteSequence | sort -t "$tab" -k3,3n | cut -f1 |
        grep -xE 'FindRelatedProducts|LaunchConditions|InstallValidate|RemoveExistingProducts|InstallInitialize|RemoveRegistryValues|RemoveEnvironmentStrings|RemoveFiles|InstallFiles|WriteRegistryValues|WriteEnvironmentStrings|InstallFinalize' |
        paste -sd' ')"
check_eq "Upgrade: older versions are replaced, a newer one is detected" \
    "$upgrade_code  $version  1  WIX_UPGRADE_DETECTED
$upgrade_code $version   2  WIX_DOWNGRADE_DETECTED" \
    "$(table "$msi" Upgrade | tr '\t' ' ')"
check_eq "LaunchCondition: no install over a newer version" \
    "NOT WIX_DOWNGRADE_DETECTED${tab}A newer version of tolvard is already installed." \
    "$(table "$msi" LaunchCondition)"

summary() {
    TZ=UTC msiinfo export "$1" _SummaryInformation | tr -d '\r' | tail -n +4 |
        awk -F '\t' -v id="$2" '$1 == id { print $2 }'
}
stamp=$(date -u -d "@$((epoch - epoch % 2))" '+%Y/%m/%d %H:%M:%S')
# property id | what | value
summary_rows=(
    "7|platform and language|$template"
    "12|created|$stamp"
    "13|last saved|$stamp"
    "14|Windows Installer version|200"
    "15|compressed, long file names|2"
)
for row in "${summary_rows[@]}"; do
    IFS='|' read -r id what value <<<"$row"
    check_eq "summary: $what" "$value" "$(summary "$msi" "$id")"
done
package_code=$(summary "$msi" 9)
check_true "summary: the package code is a GUID, not the placeholder: $package_code" \
    grep -qE '^\{[0-9A-F-]{36}\}$' <<<"${package_code/00000000-0000-0000-0000-000000000000/}"

x=$W/x
mkdir -p "$x"
(cd "$x" && msiextract "$msi" >"$W/extract.out") || die "msiextract failed"
check_eq "the cabinet holds the five files, in the tolvard folder" \
    "$extracted/CHANGELOG.txt|$extracted/LICENSE.txt|$extracted/README.txt|$extracted/tolvard-messages.dll|$extracted/tolvard.exe" \
    "$(cd "$x" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd'|')"
for f in tolvard.exe tolvard-messages.dll README.txt LICENSE.txt CHANGELOG.txt; do
    check_true "$f: the bytes the zip ships" cmp -s "$W/stage/$f" "$x/$extracted/$f"
done

# Another version from the same sources: another product and package code, the same upgrade
# code and component GUIDs (the rules of a major upgrade).
SOURCE_DATE_EPOCH=$epoch make_msi "$W/c" 1.0.0
old=$W/c/tolvard-1.0.0-$arch.msi
check_eq "1.0.0: ProductVersion" 1.0.0 "$(cell "$old" Property ProductVersion 2)"
check_eq "1.0.0: the same upgrade code" "$upgrade_code" "$(cell "$old" Property UpgradeCode 2)"
check_true "1.0.0: another product code" test "$(cell "$old" Property ProductCode 2)" != "$product_code"
check_true "1.0.0: another package code" test "$(summary "$old" 9)" != "$package_code"
check_eq "1.0.0: the same components" "$(table "$msi" Component)" "$(table "$old" Component)"

# Without SOURCE_DATE_EPOCH the package carries the time of the last commit.
if commit=$(git -C "$src" log -1 --format=%ct 2>/dev/null); then
    (unset SOURCE_DATE_EPOCH && make_msi "$W/d" "$version")
    check_eq "default time: the last commit's, to the 2 s below" \
        "$(date -u -d "@$((commit - commit % 2))" '+%Y/%m/%d %H:%M:%S')" \
        "$(summary "$W/d/tolvard-$version-$arch.msi" 12)"
fi

finish
