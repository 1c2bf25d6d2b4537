#!/usr/bin/env bash
# First run on a fresh Debian 12 machine: installs the packages, builds, makes the example
# workbooks and merges their folder into one workbook with the command line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
/usr/bin/python3 examples/make_examples.py --tablaweaver build/tablaweaver
out="$(pwd)/examples/out/合并结果.xlsx"
build/tablaweaver merge-files examples/out/销售 -o "$out" --overwrite
echo
echo "合并后的工作簿：$out"
echo "启动窗口：build/tablaweaver"
