#!/usr/bin/env bash
# Parses the fleet playbook with ansible-playbook --syntax-check (module names included).
set -euo pipefail
cd "$(dirname "$0")/.."
ANSIBLE_LOCALHOST_WARNING=false ansible-playbook --syntax-check -i localhost, deploy/ansible/remove-velkor.yml
