#!/bin/sh
# The manual page against the host: every option "starter --help" lists is in starter(8)'s
# OPTIONS as man renders it, and no other; the page renders without a warning and has the
# sections an operator looks for.
# Usage: check_manpage.sh STARTER_BINARY MANUAL_PAGE
set -eu
starter=$1
page=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$starter" --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | sort >"$tmp/help"
[ -s "$tmp/help" ] || { echo "starter --help lists no option"; exit 1; }
# In the rendered page, an option starts a line indented like the section's paragraphs.
MANWIDTH=200 man --warnings -E UTF-8 -l -P cat "$page" 2>"$tmp/warnings" >"$tmp/page"
[ ! -s "$tmp/warnings" ] || { echo "man warns:"; cat "$tmp/warnings"; exit 1; }
sed -n '/^OPTIONS$/,/^[A-Z]/p' "$tmp/page" | sed -n 's/^       \(-[^ ]*\).*/\1/p' | sort >"$tmp/man"
diff -u "$tmp/help" "$tmp/man" || { echo "starter --help and starter(8) list different options"; exit 1; }
for section in SYNOPSIS OPTIONS SIGNALS FILES "EXIT STATUS" EXAMPLES; do
  grep -qx "$section" "$tmp/page" || { echo "starter(8) has no $section"; exit 1; }
done
echo "starter(8) lists the $(wc -l <"$tmp/help") options of starter --help"
