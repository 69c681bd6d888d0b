#!/usr/bin/env bash
# Builds and installs the package into .venv (CPython 3.12), then runs the command-line demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/venv.sh
if ! python=$(find_python 3.12); then
    echo "error: CPython 3.12 not found; install it with pyenv or set PYTHON312=/path/to/python3.12" >&2
    exit 1
fi
make_venv .venv "$python" "${BUILD_TOOLS[@]}" "${RUNTIME_EXTRAS[@]}"
install_package .venv build/release

show() {
    local line="" arg
    for arg in "$@"; do
        if [[ $arg == *" "* ]]; then line+=" \"$arg\""; else line+=" $arg"; fi
    done
    echo
    echo "\$ halvec$line"
    .venv/bin/halvec "$@" || echo "(exit status $?)"
}
echo "== demo (no API keys from the environment)"
unset ANTHROPIC_API_KEY OPENAI_API_KEY
show --version
show models --keys anthropic
show route "Research the pricing pages of three hosting providers" --keys anthropic
show route "Summarise the meeting notes" --model gpt-5.2 --keys anthropic --cost-conscious
show route "Fix a typo"
tasks=build/demo-tasks.jsonl
printf '%s\n' \
    '{"id": "t1", "description": "Research the pricing pages of three hosting providers and write a recommendation", "input_tokens": 1200, "output_tokens": 900}' \
    '{"id": "t2", "description": "Check whether the staging server is up", "input_tokens": 300, "output_tokens": 80}' \
    '{"id": "t3", "description": "Go through the attached supplier invoices and mark each one whose amount differs from the purchase order total", "input_tokens": 2500, "output_tokens": 400}' \
    > "$tasks"
show eval "$tasks" --keys anthropic
