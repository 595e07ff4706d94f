#!/usr/bin/env bash
# Installs the build prerequisites that this (Debian) machine lacks; installs nothing
# that is already there. Python 2.7 comes from pyenv where present (see README).
set -euo pipefail

missing=()
need() {
  case " ${missing[*]} " in *" $1 "*) return 0 ;; esac
  dpkg -s "$1" >/dev/null 2>&1 || missing+=("$1")
}
need cmake
need g++
need make
need zlib1g-dev
# The table export writes SQLite databases through SQLite's C library.
need libsqlite3-dev
need libgtest-dev
need gzip
# The benchmarks' table (and its test) compare write_actions with pigz.
need pigz
# The changes between files digest actions with libsodium's keyed hash (found by pkg-config).
need libsodium-dev
need pkg-config
# ISA-L inflates whole files about twice as fast as zlib; where the platform has no package
# for it the build uses zlib.
if apt-cache show libisal-dev >/dev/null 2>&1; then need libisal-dev; fi
# libdeflate compresses the blocks write_actions cuts about three times as fast as zlib;
# where the platform has no package for it the build uses zlib.
if apt-cache show libdeflate-dev >/dev/null 2>&1; then need libdeflate-dev; fi
# OpenSSL's libcrypto makes the digest that names a page's actions with the processor's SHA
# instructions; without it the package hashes with hashlib.
if apt-cache show libssl-dev >/dev/null 2>&1; then need libssl-dev; fi
# The module needs one Python host with its development files: Python 2.7 where it is
# there (python2.7-config on PATH or pyenv's 2.7), otherwise Python 3 (Debian 12 ships no 2.7).
has_python2() {
  command -v python2.7-config >/dev/null 2>&1 && return 0
  compgen -G "${PYENV_ROOT:-$HOME/.pyenv}/versions/2.7*/bin/python2.7-config" >/dev/null
}
has_python2 || need python3-dev
# The install test (CTest label install) makes a venv of Debian's Python 3 and builds the
# module there with pip, setuptools and wheel from Debian, offline.
for package in python3-dev python3-venv python3-pip python3-setuptools python3-wheel; do
  need "$package"
done
# The JSON Schema of the document form is checked against every export with Debian's
# validator (tests/python/test_document_schema.py; Python 3).
need python3-jsonschema
# The browser test (CTest label browser) drives Debian's chromium through chromedriver with
# Debian's python3-selenium; it installs nothing itself.
for package in chromium chromium-driver python3-selenium; do need "$package"; done

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
