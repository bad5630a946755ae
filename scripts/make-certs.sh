#!/usr/bin/env bash
# Makes the certificates of a small fleet for the service's network listener
# and the library's network path, with the openssl command.
#
#   scripts/make-certs.sh DIR [--node NAME[=ADDRESS,...]]... [--client NAME]... [--days N]
#
# DIR/ca/          ca.pem, ca-key.pem: the fleet's CA (made once, reused on
#                  later runs; keep ca-key.pem off the nodes)
# DIR/nodes/NAME/  ca.pem, cert.pem, key.pem: a node's identity. Its
#                  certificate names NAME and every ADDRESS (DNS and IP
#                  subject alternative names) and serves both ends, so the
#                  folder is the service's --tls-cert/--tls-key/--tls-client-ca
#                  and, as VEXSRV_TLS_DIR or /etc/vexsrv/tls, the identity of
#                  programs on that node that call other nodes.
# DIR/clients/NAME/ ca.pem, cert.pem, key.pem: a client's identity (subject
#                  CN and DNS name NAME), for VEXSRV_TLS_DIR or
#                  ~/.config/vexsrv/tls.
set -euo pipefail

usage() {
  sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

[ $# -ge 1 ] || usage
dir=$1
shift
nodes=()
clients=()
days=825
while [ $# -gt 0 ]; do
  case $1 in
    --node) [ $# -ge 2 ] || usage; nodes+=("$2"); shift 2 ;;
    --client) [ $# -ge 2 ] || usage; clients+=("$2"); shift 2 ;;
    --days) [ $# -ge 2 ] || usage; days=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "make-certs.sh: unknown argument $1" >&2; usage ;;
  esac
done

command -v openssl >/dev/null || { echo "make-certs.sh: the openssl command is missing (apt-get install openssl)" >&2; exit 1; }
umask 077
mkdir -p "$dir/ca"
ca=$dir/ca/ca.pem
ca_key=$dir/ca/ca-key.pem
if [ ! -f "$ca" ]; then
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 -days "$days" \
    -subj "/CN=Tidewell task service fleet CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$ca_key" -out "$ca" 2>/dev/null
  echo "CA: $ca"
fi

valid_name() { [[ $1 =~ ^[A-Za-z0-9][A-Za-z0-9._-]*$ ]]; }

# issue FOLDER CN SAN EKU
issue() {
  local out=$1 cn=$2 san=$3 eku=$4
  mkdir -p "$out"
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 -subj "/CN=$cn" \
    -keyout "$out/key.pem" -out "$out/req.pem" 2>/dev/null
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\nsubjectAltName=%s\n' \
    "$eku" "$san" >"$out/ext.cnf"
  openssl x509 -req -in "$out/req.pem" -CA "$ca" -CAkey "$ca_key" -CAcreateserial -days "$days" -sha256 \
    -extfile "$out/ext.cnf" -out "$out/cert.pem" 2>/dev/null
  rm -f "$out/req.pem" "$out/ext.cnf"
  cp "$ca" "$out/ca.pem"
  chmod 600 "$out/key.pem"
  chmod 644 "$out/cert.pem" "$out/ca.pem"
  chmod 755 "$out"
}

for node in "${nodes[@]}"; do
  name=${node%%=*}
  valid_name "$name" || { echo "make-certs.sh: bad node name '$name'" >&2; exit 2; }
  san="DNS:$name"
  if [[ $node == *=* ]]; then
    IFS=, read -ra addresses <<<"${node#*=}"
    for a in "${addresses[@]}"; do
      if [[ $a =~ ^[0-9.]+$ || $a == *:* ]]; then san+=",IP:$a"; else san+=",DNS:$a"; fi
    done
  fi
  issue "$dir/nodes/$name" "$name" "$san" "serverAuth,clientAuth"
  echo "node $name ($san): $dir/nodes/$name"
done

for name in "${clients[@]}"; do
  valid_name "$name" || { echo "make-certs.sh: bad client name '$name'" >&2; exit 2; }
  issue "$dir/clients/$name" "$name" "DNS:$name" "clientAuth"
  echo "client $name: $dir/clients/$name"
done
