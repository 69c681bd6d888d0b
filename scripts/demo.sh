#!/usr/bin/env bash
# Builds and installs the package into .venv, then runs the command-line demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python312.sh
source scripts/venv.sh
make_venv .venv
install_package .venv build/release
.venv/bin/python -m halvec models
