#!/usr/bin/env bash
# Builds quorvel.exe with the date of the last commit and writes a release into dist/: the
# zip a Windows user downloads, SHA256SUMS, a Scoop manifest and a winget manifest set.
# The same commit gives the same bytes. Installs what it needs on a fresh Debian machine.
#
#   scripts/release.sh --base-url URL [--homepage URL] [--dist DIR] [--build-dir DIR]
#
# --base-url   where the zip will be published: the manifests download URL/<zip name>
# --homepage   the project's page named in the Scoop manifest (default: the base URL)
# --dist       the folder to write (default: dist/); files of the same names are replaced
# --build-dir  the folder to build in (default: build-release/)
set -euo pipefail
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"
# The same order of files and the same text on every machine.
export LC_ALL=C

usage="usage: scripts/release.sh --base-url URL [--homepage URL] [--dist DIR] [--build-dir DIR]"
base_url=
homepage=
dist="$root/dist"
build="$root/build-release"
while [ $# -gt 0 ]; do
    if [ $# -lt 2 ]; then
        echo "$usage" >&2
        exit 2
    fi
    case "$1" in
    --base-url) base_url=${2%/} ;;
    --homepage) homepage=$2 ;;
    --dist) dist=$(realpath -m "$2") ;;
    --build-dir) build=$(realpath -m "$2") ;;
    *)
        echo "$usage" >&2
        exit 2
        ;;
    esac
    shift 2
done
if [ -z "$base_url" ]; then
    echo "scripts/release.sh: --base-url is required: the address the zip will be published at" >&2
    echo "$usage" >&2
    exit 2
fi
# The addresses go unescaped into JSON and YAML strings.
for url in "$base_url" "${homepage:-$base_url}"; do
    if ! [[ "$url" =~ ^https?://[^[:space:]\"\'\\]+$ ]]; then
        echo "scripts/release.sh: '$url' is not an http or https URL without blanks or quotes" >&2
        echo "$usage" >&2
        exit 2
    fi
done
homepage=${homepage:-$base_url}

install_tools release
step "reading the date of the last commit"
epoch=$(git -C "$root" log -1 --format=%ct)
# The release carries the last commit's date but is built from the files as they are.
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "scripts/release.sh: warning: uncommitted changes; this release is not the last" \
        "commit's, and that commit will not make the same bytes" >&2
fi
step "reading the version from resources/version.rc"
version=$(sed -n 's/^ *VALUE "ProductVersion", "\([0-9.]*\)"$/\1/p' "$root/resources/version.rc")
[ -n "$version" ]
set_up_step=
configure_and_build -DQUORVEL_SOURCE_DATE_EPOCH="$epoch" -DQUORVEL_TESTS=OFF --target quorvel

zip_name="quorvel-$version-win64.zip"
url="$base_url/$zip_name"
description="Starts every command given at once and reports on standard output as each one starts and ends."
notice=$(sed -n 's/^ *VALUE "LegalCopyright", "\(.*\)"$/\1/p' "$root/resources/version.rc")
id=Quorvel.Quorvel

# The zip holds the same bytes for the same commit: files in a fixed order with the
# commit's date and fixed permissions, no owner or extra time fields (-X), and times
# written as UTC.
step "making $zip_name"
mkdir "$scratch/zip"
cp "$build/quorvel.exe" "$root/README.md" "$root/LICENSE" "$scratch/zip/"
chmod 644 "$scratch/zip/"*
touch -d "@$epoch" "$scratch/zip/"*
# zip also reads options from ZIP and ZIPOPT in the environment; a user's own must not
# change the bytes.
(cd "$scratch/zip" && env -u ZIP -u ZIPOPT TZ=UTC zip -q -X "$scratch/$zip_name" quorvel.exe \
    README.md LICENSE)
sha256=$(sha256sum "$scratch/$zip_name" | cut -d ' ' -f 1)

step "writing the manifests"
cat >"$scratch/quorvel.json" <<EOF
{
    "version": "$version",
    "description": "$description",
    "homepage": "$homepage",
    "license": "MIT",
    "url": "$url",
    "hash": "$sha256",
    "bin": "quorvel.exe"
}
EOF
# PackageVersion is quoted: unquoted, YAML reads 17.07 as a number.
cat >"$scratch/$id.yaml" <<EOF
PackageIdentifier: $id
PackageVersion: "$version"
DefaultLocale: en-US
ManifestType: version
ManifestVersion: 1.10.0
EOF
cat >"$scratch/$id.installer.yaml" <<EOF
PackageIdentifier: $id
PackageVersion: "$version"
InstallerType: zip
NestedInstallerType: portable
NestedInstallerFiles:
  - RelativeFilePath: quorvel.exe
    PortableCommandAlias: quorvel
Installers:
  - Architecture: x64
    InstallerUrl: "$url"
    InstallerSha256: ${sha256^^}
ManifestType: installer
ManifestVersion: 1.10.0
EOF
cat >"$scratch/$id.locale.en-US.yaml" <<EOF
PackageIdentifier: $id
PackageVersion: "$version"
PackageLocale: en-US
Publisher: the Quorvel developers
PackageName: Quorvel
License: MIT
Copyright: "$notice"
ShortDescription: "$description"
Moniker: quorvel
ManifestType: defaultLocale
ManifestVersion: 1.10.0
EOF

# All files side by side, as on a release page, so that SHA256SUMS checks them where they
# are downloaded to.
step "writing the release into $dist"
files=("$zip_name" quorvel.json "$id.yaml" "$id.installer.yaml" "$id.locale.en-US.yaml")
mkdir -p "$dist"
(cd "$scratch" && cp "${files[@]}" "$dist/")
(cd "$dist" && sha256sum "${files[@]}" >SHA256SUMS)
set_up_step=
echo "Release $version of commit $(git -C "$root" log -1 --format=%h) in $dist:"
(cd "$dist" && ls -l "${files[@]}" SHA256SUMS)
