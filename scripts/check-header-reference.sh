#!/usr/bin/env bash
# Every exported function of the interface header carries its reference: the comment just
# above its prototype names the IRQL it runs at, what it takes, what it frees and how it
# fails, so the header stays the driver writer's reference as functions change.
#
#   check-header-reference.sh HEADER
set -euo pipefail
header=$1
awk '
    /^QORAPI .*QORCALL +[A-Za-z0-9_]+\(/ {
        name = $0; sub(/\(.*/, "", name); sub(/.*QORCALL +/, "", name)
        ++functions
        missing = ""
        if (!prev_comment) missing = " (no comment just above)"
        else {
            if (comment !~ /IRQL: /) missing = missing " IRQL"
            if (comment !~ /Takes: /) missing = missing " Takes"
            if (comment !~ /Frees: /) missing = missing " Frees"
            if (comment !~ /Fails: /) missing = missing " Fails"
        }
        if (missing != "") { print "FAIL: " name " lacks" missing; bad = 1 }
    }
    # The comment block that ends on the line just above a prototype.
    {
        if ($0 ~ /^\/\*/) { incomment = 1; block = "" }
        if (incomment) block = block " " $0
        ended = incomment && $0 ~ /\*\/[ \t]*$/
        if (ended) { incomment = 0; comment = block }
        prev_comment = ended
    }
    END {
        if (functions != 70) { print "FAIL: " functions " exported functions found, not 70"; bad = 1 }
        if (bad) exit 1
        print "interface header: all " functions " functions state IRQL, what they take and free, how they fail"
    }' "$header"
