#!/usr/bin/env bash
# Signs a setup made by mksetup the way a product's maker does, with a
# throwaway self-signed certificate, and checks the result:
#   - osslsigncode verifies the signature against that certificate;
#   - signing changed nothing but the PE header's checksum and certificate
#     entry and appended the certificate table: the trailer, the archive and
#     the payload are where they were, byte for byte;
#   - the integrity record after the payload still holds (its own CRC, its
#     offset, and the CRC-32 of trailer, archive and payload).
# usage: windows-signing.sh SETUP.exe SIGNED.exe WORKDIR
set -euo pipefail
setup="$1" signed="$2" work="$3"
fail() { echo "windows-signing: FAILED: $*" >&2; exit 1; }
mkdir -p "$work"

if [[ ! -f "$work/cert.pem" ]]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillset test signing" \
        -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 ||
        fail "openssl could not make the test certificate"
fi
rm -f "$signed"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Quillset Setup" -h sha256 \
    -in "$setup" -out "$signed" >"$work/sign.log" 2>&1 || { cat "$work/sign.log"; fail "osslsigncode sign"; }
osslsigncode verify -in "$signed" -CAfile "$work/cert.pem" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "osslsigncode verify"; }

size=$(stat -c %s "$setup")
signed_size=$(stat -c %s "$signed")
[[ $signed_size -gt $size ]] || fail "the signed file is not longer than the setup"
# Differences only inside the PE headers (the first 1024 bytes here).
late="$(cmp -l <(head -c "$size" "$signed") "$setup" | awk '$1 > 1024 {print $1 - 1; exit}')" || true
[[ -z "$late" ]] || fail "signing changed the byte at offset $late"

u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
crc32() {  # file, offset, count: the gzip trailer carries the CRC-32 of its input
    tail -c +"$(($2 + 1))" "$1" | head -c "$3" | gzip -c | tail -c 8 | od -An -t u4 -N 4 | tr -d ' '
}
magic=$(LC_ALL=C grep -obUa 'Qnt_!' "$signed" | cut -d: -f1 | awk '$1 >= 210000 {print; exit}')
[[ -n "$magic" ]] || fail "no trailer at or after offset 210000"
archive=$(u32 "$signed" $((magic + 5)))
payload=$(u32 "$signed" $((magic + 9)))
record=$((magic + 13 + archive + payload))
[[ "$(head -c $((record + 4)) "$signed" | tail -c 4)" == "QnIR" ]] || fail "no integrity record at offset $record"
[[ $(u32 "$signed" $((record + 8))) -eq $archive && $(u32 "$signed" $((record + 12))) -eq $payload ]] ||
    fail "the integrity record's lengths differ from the trailer's"
[[ $(u32 "$signed" $((record + 16))) -eq $record ]] || fail "the integrity record does not name its own offset"
[[ $(u32 "$signed" $((record + 24))) -eq $(crc32 "$signed" "$record" 24) ]] || fail "the integrity record's own CRC"
[[ $(u32 "$signed" $((record + 20))) -eq $(crc32 "$signed" "$magic" $((record - magic))) ]] ||
    fail "the CRC-32 of trailer, archive and payload does not match the record"
echo "windows-signing: $(basename "$setup") signed ($size -> $signed_size bytes) and verified;" \
    "trailer at $magic, integrity record at $record holds"
