# SPDX-License-Identifier: GPL-2.0-or-later
#
# The frames of one VM run, judged against the events its scenario marked.
# usage: awk -v program=NAME -f frames.awk FINDINGS REPLAY_LOG
#   FINDINGS    tests/system/vm/scenario.sh's lines (RATE lines: linkd's rates)
#   REPLAY_LOG  `quenlyte-sim replay --log 16` of QEMU's trace: frame lines,
#               and other lines, among them the scenario's marks (a letter
#               written to base+1), in the trace's own clock
# Prints PASS:/FAIL:/INFO: lines; exit status 1 when anything failed.
# The units run with LEDS=16, MODE=2 (bar), IN_MAX=512, OUT_MAX=256.

function scale(rate, full,    x, n) { # LED count for a reported rate (bytes/s)
    x = half * (rate / 1024) / full
    if (x > 0 && x < 0.5) x = 0.5
    if (x >= 0.5) x = x + 0.5
    n = int(x)
    if (x - n >= 0.5) n++
    return n > half ? half : n
}
function bar(in_n, out_n,    s, i) { # the bar frame's outputs, stage 1 first
    s = ""
    for (i = 1; i <= 2 * half; i++) s = s (i <= in_n || i > 2 * half - out_n ? "1" : "0")
    return s
}
function field(line, name,    i, n, parts) {
    n = split(line, parts, " ")
    for (i = 1; i <= n; i++) if (index(parts[i], name "=") == 1) return substr(parts[i], length(name) + 2)
    return ""
}
function pass(text) { printf "PASS: %s: %s\n", program, text }
function fail(text) { printf "FAIL: %s: %s\n", program, text; failures++ }
function blank(i) { return on[i] == 0 && leds[i] == zeros }
function first_after(t, want,    i) { # the first frame after t: blank (want 0) or online (1)
    for (i = 1; i <= n; i++)
        if (ft[i] > t && ((want == 0 && blank(i)) || (want == 1 && on[i] == 1))) return i
    return 0
}
function gensub_trailing(text) { sub(/1+$/, "", text); return text } # without its trailing 1s
function marked(letter) { if (!(letter in mt)) { fail("no mark " letter " in the trace"); return 0 } return 1 }

BEGIN {
    half = 8; in_max = 512; out_max = 256
    zeros = bar(0, 0)
    order = "BUIiOoDGRSsPpTKkFfE" # the scenario's marks, in the order it writes them
    next_mark = 1
}
FNR == NR {
    if ($1 == "RATE") { rates[$2] = rates[$2] " " $3 ":" $4 }
    next
}
$1 == "frame" {
    n++
    ft[n] = field($0, "t") + 0; leds[n] = field($0, "leds"); on[n] = field($0, "online") + 0
    rd[n] = field($0, "reads") + 0; wr[n] = field($0, "writes") + 0; ot[n] = field($0, "other") + 0
    after_mark[n] = mark_since; mark_since = 0
    next
}
$1 == "other" && field($0, "offset") == 1 && field($0, "op") == "write" {
    letter = sprintf("%c", strtonum_hex(field($0, "value")))
    if (next_mark <= length(order) && letter == substr(order, next_mark, 1)) {
        mt[letter] = field($0, "t") + 0
        next_mark++
        mark_since = 1
    }
}
function strtonum_hex(text,    v, i, c) {
    v = 0
    text = tolower(text); sub(/^0x/, "", text)
    for (i = 1; i <= length(text); i++) { c = index("0123456789abcdef", substr(text, i, 1)); v = v * 16 + c - 1 }
    return v
}
END {
    if (n == 0) { fail("no frames in the trace"); exit 1 }
    if (!marked("B") || !marked("E")) exit 1

    # a. Started at boot: the daemon's frames (50 reads and writes or more:
    # the kernel's probe of the port at boot latches a few too) before the
    # scenario began, all blank (no link yet).
    k = 0; bad = 0; probe = 0
    for (i = 1; i <= n && ft[i] < mt["B"]; i++) {
        if (rd[i] < 6 * half + 2 && k == 0) { probe++; continue }
        k++; if (!blank(i)) bad++
    }
    if (k > 0 && bad == 0) pass(sprintf("%d blank frames, online line low, from boot until the link came up (after %d of the kernel's probe)", k, probe))
    else fail(sprintf("at boot before the link: %d frames of the daemon, %d not blank", k, bad))

    # a. The link up: online frames.
    if (marked("U")) {
        i = first_after(mt["U"], 1)
        if (i && ft[i] - mt["U"] < 5) pass(sprintf("online frames %.2f s after linkd said Online: %s", ft[i] - mt["U"], leds[i]))
        else fail("no online frame within 5 s of the link coming up")
    }

    # b. Traffic: each frame's counts are the scaling of linkd's rates; f. its accesses.
    split("in:I:i out:O:o", phases, " ")
    for (p = 1; p <= 2; p++) {
        split(phases[p], ph, ":")
        if (!marked(ph[2]) || !marked(ph[3])) continue
        ns = split(rates[ph[1]], samples, " ")
        if (ns == 0) { fail(ph[1] "bound: no rates from linkd"); continue }
        min_in = min_out = 1e18; max_in = max_out = -1
        lo_in = lo_out = 1e18; hi_in = hi_out = -1
        for (s = 1; s <= ns; s++) {
            split(samples[s], r, ":")
            if (r[1] + 0 < lo_in) lo_in = r[1] + 0; if (r[1] + 0 > hi_in) hi_in = r[1] + 0
            if (r[2] + 0 < lo_out) lo_out = r[2] + 0; if (r[2] + 0 > hi_out) hi_out = r[2] + 0
            c = scale(r[1], in_max); if (c < min_in) min_in = c; if (c > max_in) max_in = c
            c = scale(r[2], out_max); if (c < min_out) min_out = c; if (c > max_out) max_out = c
        }
        # The count most frames must show in the direction with traffic: that
        # of the median rate.
        for (s = 1; s <= ns; s++) { split(samples[s], r, ":"); sorted[s] = r[ph[1] == "in" ? 1 : 2] + 0 }
        for (s = 1; s <= ns; s++) for (t = s + 1; t <= ns; t++) if (sorted[t] < sorted[s]) { v = sorted[s]; sorted[s] = sorted[t]; sorted[t] = v }
        median = sorted[int((ns + 1) / 2)]
        typical = ph[1] == "in" ? scale(median, in_max) : scale(median, out_max)
        # A direction without traffic may show a trickle of one LED.
        if (ph[1] == "in") { if (max_out < 1) max_out = 1 } else { if (max_in < 1) max_in = 1 }
        k = 0; bad = 0; exact = 0; inexact = 0; example = ""; usual = 0
        for (i = 1; i <= n; i++) {
            if (ft[i] <= mt[ph[2]] || ft[i] >= mt[ph[3]]) continue
            k++
            ok = 0
            for (a = min_in; a <= max_in; a++) for (b = min_out; b <= max_out; b++) if (leds[i] == bar(a, b)) ok = 1
            if (!ok || on[i] != 1) { bad++; if (bad == 1) bad_text = leds[i] " online=" on[i] }
            lit = ph[1] == "in" ? index(leds[i] "0", "0") - 1 : length(leds[i]) - length(gensub_trailing(leds[i]))
            if (lit == typical) usual++
            if (ft[i - 1] > mt[ph[2]] && !after_mark[i]) {
                if (rd[i] == 6 * half + 2 && wr[i] == 6 * half + 2 && (ot[i] == 0 || program != "quenlyte5")) exact++
                else { inexact++; if (inexact == 1) inexact_text = sprintf("reads=%d writes=%d other=%d", rd[i], wr[i], ot[i]) }
            }
            if (example == "") example = leds[i]
        }
        want = sprintf("in %d..%d, out %d..%d LEDs", min_in, max_in, min_out, max_out)
        span = sprintf("%d rates from linkd, in %s..%s, out %s..%s B/s", ns, lo_in, hi_in, lo_out, hi_out)
        want = want sprintf(", %d of them %d %sbound", usual, typical, ph[1])
        if (k >= 10 && bad == 0 && usual >= 0.9 * k) pass(sprintf("%sbound traffic: %d frames, all online with %s (%s): %s", ph[1], k, want, span, example))
        else fail(sprintf("%sbound traffic: %d frames, %d not online with %s (%s), first: %s", ph[1], k, bad, want, span, bad_text))
        if (exact >= 5 && inexact == 0)
            pass(sprintf("%sbound: %d frames of exactly %d reads and %d writes of the data register%s", ph[1], exact,
                6 * half + 2, 6 * half + 2, program == "quenlyte5" ? ", none at base+1 or base+2" : ""))
        else fail(sprintf("%sbound: %d exact frames, %d not: %s", ph[1], exact, inexact, inexact_text))
    }

    # c. The link drops: blank frames, online line low, within 3 s of ppp0
    # going away, until pppd is started again.
    if (marked("D") && marked("G") && marked("R")) {
        i = first_after(mt["G"], 0)
        if (i && ft[i] < mt["R"] && ft[i] - mt["G"] <= 3) {
            bad = 0
            for (j = i; j <= n && ft[j] < mt["R"]; j++) if (!blank(j)) bad++
            if (bad == 0) pass(sprintf("link dropped: blank frames %.2f s after ppp0 went away (%.2f s after pppd was told to end), blank until pppd started again", ft[i] - mt["G"], ft[i] - mt["D"]))
            else fail(sprintf("link dropped: %d frames not blank before pppd started again", bad))
        } else fail(sprintf("link dropped: no blank frame within 3 s of ppp0 going away (%s)", i ? sprintf("%.2f s", ft[i] - mt["G"]) : "none"))
    }

    # d. The link back: online frames.
    if (marked("R") && marked("S")) {
        i = first_after(mt["R"], 1)
        if (i && ft[i] < mt["S"]) pass(sprintf("link back: online frames %.2f s after pppd started again", ft[i] - mt["R"]))
        else fail("link back: no online frame before the stop")
    }

    # e. Stop: the last frame blank, online low; none after it until the next start.
    if (marked("S") && marked("s") && marked("T")) {
        last = 0; later = 0
        for (i = 1; i <= n; i++) { if (ft[i] < mt["s"]) last = i; else if (ft[i] < mt["T"]) later++ }
        if (last && ft[last] > mt["S"] && blank(last) && later == 0) pass("stopped: the last frame blank with the online line low, none after it")
        else fail(sprintf("stopped: last frame %s online=%d (%s the stop), %d frames after it", leds[last], on[last], ft[last] > mt["S"] ? "after" : "before", later))
    }

    # e. linkd killed and restarted, the daemon after it: online frames return.
    if (marked("T") && marked("K") && marked("k")) {
        i = first_after(mt["T"], 1)
        j = first_after(mt["k"], 1)
        if (i && ft[i] < mt["K"] && j && ft[j] - mt["k"] < 5)
            pass(sprintf("started again: online frames; linkd killed and both restarted: online frames %.2f s later", ft[j] - mt["k"]))
        else fail("no online frames after the start or after linkd's restart")
    }

    if (failures) exit 1
}
