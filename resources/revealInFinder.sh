#!/bin/sh
# Shows the folder given as the only argument in the desktop's file browser.
[ -n "$1" ] || exit 1
exec xdg-open "$1"
