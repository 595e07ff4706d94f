#!/usr/bin/env bash
# Installs the build prerequisites that this (Debian) machine lacks; installs nothing
# that is already there. Python 2.7 comes from pyenv where present (see README).
set -euo pipefail

missing=()
need() { dpkg -s "$1" >/dev/null 2>&1 || missing+=("$1"); }
need cmake
need g++
need make
need zlib1g-dev
need libgtest-dev
need gzip

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root, or install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
