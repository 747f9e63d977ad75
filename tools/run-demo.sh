#!/bin/bash
# `make run`: runs the built setup file on the default registry store and says where it is.
set -u
cd "$(dirname "$0")/.."
if [ ! -x dist/linux/drvsetup ]; then
  echo "make run: dist/linux/drvsetup has not been built (the program does not exist yet)" >&2
  exit 1
fi
store="${DRVSETUP_REGISTRY:-${XDG_STATE_HOME:-$HOME/.local/state}/drvsetup/registry.db}"
echo "Running dist/linux/drvsetup (the message box is printed on standard error):"
dist/linux/drvsetup "$@"
rc=$?
case $rc in
  0) name=RESULT_UPDATED ;; 1) name=RESULT_UP_TO_DATE ;;
  255) name=RESULT_FILE_CORRUPT ;; 254) name=RESULT_DATA_INVALID ;; 253) name=RESULT_INSTALL_FAILED ;;
  *) name=unknown ;;
esac
echo "Exit status: $rc ($name)"
echo "Registry store: $store"
echo "Look at it with: dist/linux/drvreg export 'HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2' | less"
echo "Run again to see the up-to-date outcome; delete the store to start over."
# Outcomes 0 and 1 are a good run; the error outcomes make `make run` fail.
[ $rc -le 1 ]
