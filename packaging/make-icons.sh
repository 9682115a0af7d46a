#!/usr/bin/env bash
# Renders the committed PNG icons from the SVG (rsvg-convert, Debian package librsvg2-bin). Run it
# after changing icons/dev.tovik.Messenger.svg and commit the PNGs with it.
set -euo pipefail
icons="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/icons"
for size in 48 64 128 256; do
  mkdir -p "$icons/$size"
  rsvg-convert -w "$size" -h "$size" "$icons/dev.tovik.Messenger.svg" \
    -o "$icons/$size/dev.tovik.Messenger.png"
done
