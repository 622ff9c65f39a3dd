#!/usr/bin/env bash
# The scripts that keep the Files setting, as a release ships them, for the
# tests on Windows: signed with a throwaway certificate, whose public part
# (signer.cer) the test trusts on the throwaway Windows it runs on.
#   settings.sh <source dir> <out dir>
set -euo pipefail
root=$1 out=$2
source "$root/scripts/common"
rm -rf "$out"
mkdir -p "$out/secrets"
throwaway_certificate "$out/secrets"
openssl x509 -in "$out/secrets/cert.pem" -outform der -out "$out/signer.cer.new"
export SOURCE_DATE_EPOCH=$(date +%s)    # after the certificate begins
"$root/installer/mksettings" "$out"
for script in "$out"/files-*.ps1; do sign_file "$out/secrets/cert.pfx" "$script"; done
rm -rf "$out/secrets"
mv "$out/signer.cer.new" "$out/signer.cer"
