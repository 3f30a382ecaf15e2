#!/bin/sh
# The test-signed package next to the image named by CCID_WINDOWS_IMAGE: its ccid.sys
# carries a signature that verifies against the package's test certificate, and a copy with
# one byte of code changed no longer verifies (the check is not fooled by any signature).
set -eu
[ -n "${CCID_WINDOWS_IMAGE:-}" ] || { echo "CCID_WINDOWS_IMAGE is not set"; exit 0; }
build=$(dirname "$CCID_WINDOWS_IMAGE")
signed=$build/package/ccid.sys
cert=$build/test-signing/ccid-test.crt
for f in "$signed" "$cert" "$build/package/ccid.inf" "$build/package/ccid-test.cer" "$build/package/ccid-test.pfx"; do
  [ -f "$f" ] || { echo "missing from the package: $f"; exit 1; }
done
osslsigncode verify -CAfile "$cert" -in "$signed" >/dev/null || { echo "the package's ccid.sys does not verify"; exit 1; }
tampered=$(mktemp)
trap 'rm -f "$tampered"' EXIT
cp "$signed" "$tampered"
# A byte in the first section (code), past the headers the signature leaves out.
printf '\314' | dd of="$tampered" bs=1 seek=1100 conv=notrunc 2>/dev/null
if osslsigncode verify -CAfile "$cert" -in "$tampered" >/dev/null 2>&1; then
  echo "a changed image still verifies"; exit 1
fi
echo "test signature verified; a changed image is refused"
