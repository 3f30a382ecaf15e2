#!/bin/sh
# Runs vicc, the vsmartcard project's card emulator, as Debian 12 packages it
# (vsmartcard-vpicc): its Python package lies in /usr/lib/python3/site-packages, off the
# interpreter's path, and it imports PyCryptodome by its upstream name Crypto, which
# Debian ships as Cryptodome (python3-pycryptodome). Elsewhere vicc runs as it is.
shim="${TMPDIR:-/tmp}/ccidsim-vicc-$(id -u)"
if [ -d /usr/lib/python3/site-packages/virtualsmartcard ]; then
  mkdir -p "$shim"
  [ -d /usr/lib/python3/dist-packages/Cryptodome ] && ln -sfn /usr/lib/python3/dist-packages/Cryptodome "$shim/Crypto"
  PYTHONPATH="$shim:/usr/lib/python3/site-packages/virtualsmartcard${PYTHONPATH:+:$PYTHONPATH}"
  export PYTHONPATH
fi
exec vicc "$@"
