#!/usr/bin/env bash
# Checks the Prometheus alerting rules shipped with the server package: their
# syntax (promtool check rules) and their behaviour over synthetic series
# (promtool test rules).
set -euo pipefail
cd "$(dirname "$0")/server"
command -v promtool >/dev/null || { echo "FAIL: promtool missing (Debian package prometheus)"; exit 1; }
promtool check rules qelexp-server.rules.yml
promtool test rules qelexp-server.rules.test.yml
