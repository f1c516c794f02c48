#!/bin/sh
# Makes a release twice and checks it as a user would meet it: the two come out
# byte-identical, SHA256SUMS verifies, the manifests pass their formats' published schemas
# and name the zip's address and sum, the zip holds exactly its three files, and the
# quorvel.exe in it shows the last commit's date in its banner under Wine.
#   release_check.sh SOURCE_DIR SCHEMA_DIR BUILD_DIR WINE
source_dir=$1
schema_dir=$2
build_dir=$3
wine=$4
base_url=https://example.invalid/quorvel/17.07
zip=quorvel-17.07-win64.zip
export LC_ALL=C WINEDEBUG=-all
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "$*"
    exit 1
}

[ -d "$schema_dir" ] || fail "no schemas in $schema_dir"

# A zip's times have a two-second grain, so the second run starts later than that: times
# taken from the clock would then differ. It also runs in another time zone, with another
# umask and with zip options of a user's own, none of which may change a byte.
release() {
    "$source_dir/scripts/release.sh" --base-url "$base_url" --dist "$scratch/dist$1" \
        --build-dir "$build_dir" >"$scratch/release.log" 2>&1 ||
        { cat "$scratch/release.log"; fail "scripts/release.sh failed (run $1)"; }
}
release 1
sleep 2
(umask 077 && TZ=XYZ-14 ZIPOPT=-9 release 2) || exit 1
diff -r "$scratch/dist1" "$scratch/dist2" || fail "two releases of one commit differ"
cd "$scratch/dist1" || exit 1
sha256sum -c SHA256SUMS || fail "sha256sum -c SHA256SUMS fails"
/usr/bin/python3 - "$schema_dir" "$base_url/$zip" "$(sha256sum "$zip" | cut -d ' ' -f 1)" <<'EOF' || exit 1
import json, sys, jsonschema, yaml

schema_dir, url, sha256 = sys.argv[1:]

def check(path, document, schema_name, expected):
    schema = json.load(open(f"{schema_dir}/{schema_name}"))
    for error in jsonschema.Draft7Validator(schema).iter_errors(document):
        sys.exit(f"{path}: {error.message} at {list(error.path)}")
    for key, value in expected.items():
        found = document
        for part in key.split("."):
            found = found[int(part)] if isinstance(found, list) else found.get(part)
        if found != value:
            sys.exit(f"{path}: {key} is {found!r}, expected {value!r}")

check("quorvel.json", json.load(open("quorvel.json")), "scoop-manifest.schema.json",
      {"version": "17.07", "url": url, "hash": sha256, "license": "MIT", "bin": "quorvel.exe"})
winget = "Quorvel.Quorvel"
common = {"PackageIdentifier": "Quorvel.Quorvel", "PackageVersion": "17.07",
          "ManifestVersion": "1.10.0"}
check(f"{winget}.yaml", yaml.safe_load(open(f"{winget}.yaml")),
      "winget-manifest.version.1.10.0.schema.json", common)
check(f"{winget}.installer.yaml", yaml.safe_load(open(f"{winget}.installer.yaml")),
      "winget-manifest.installer.1.10.0.schema.json",
      {**common, "Installers.0.InstallerUrl": url, "Installers.0.InstallerSha256": sha256.upper(),
       "Installers.0.Architecture": "x64", "InstallerType": "zip",
       "NestedInstallerType": "portable",
       "NestedInstallerFiles.0.RelativeFilePath": "quorvel.exe",
       "NestedInstallerFiles.0.PortableCommandAlias": "quorvel"})
check(f"{winget}.locale.en-US.yaml", yaml.safe_load(open(f"{winget}.locale.en-US.yaml")),
      "winget-manifest.defaultLocale.1.10.0.schema.json", {**common, "License": "MIT"})
EOF

files=$(unzip -Z1 "$zip" | tr '\n' ' ')
[ "$files" = "quorvel.exe README.md LICENSE " ] || fail "the zip holds: $files"
unzip -q "$zip" quorvel.exe -d "$scratch/unzipped" || fail "cannot unzip quorvel.exe"
# The output goes to a file: a pipe could be held open by Wine's services.
"$wine" "$scratch/unzipped/quorvel.exe" --con </dev/null >"$scratch/banner" 2>&1
date=$(date -u -d "@$(git -C "$source_dir" log -1 --format=%ct)" '+%b %e %Y')
banner=$(tr -d '\r' <"$scratch/banner")
[ "$banner" = "Quorvel / $date" ] || fail "the zipped quorvel.exe shows '$banner', expected 'Quorvel / $date'"
echo "release checked: $(sha256sum "$zip")"
