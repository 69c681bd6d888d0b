#!/usr/bin/env bash
# Builds and installs the package into .venv, then runs the command-line demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python312.sh
source scripts/venv.sh
make_venv .venv
install_package .venv build/release
echo "\$ python -m halvec models --keys anthropic"
.venv/bin/python -m halvec models --keys anthropic
echo
echo "\$ python -m halvec route \"Research the pricing pages of three hosting providers\" --keys anthropic"
.venv/bin/python -m halvec route "Research the pricing pages of three hosting providers" --keys anthropic
echo
echo "\$ python -m halvec route \"Summarise the meeting notes\" --model gpt-5.2 --keys anthropic --cost-conscious"
.venv/bin/python -m halvec route "Summarise the meeting notes" --model gpt-5.2 --keys anthropic --cost-conscious
