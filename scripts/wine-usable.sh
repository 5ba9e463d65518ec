#!/usr/bin/env bash
# Exits 0 when this machine can run Wine's 32-bit loader, which the win32
# tests need; otherwise prints why not and exits 1.
if ! command -v wine >/dev/null 2>&1; then
  echo "wine is not installed"
  exit 1
fi
if ! timeout 30 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "this machine cannot run Wine's 32-bit loader (/usr/lib/wine/wine);" \
       "its kernel does not execute 32-bit x86 programs"
  exit 1
fi
exit 0
