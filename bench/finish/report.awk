# The table of bench/finish/run.sh, its goals and its SVG chart, from the lines
# that run.sh collects:
#   SET size W H LEVELS BITS
#   SET traffic MODE BYTES-PER-PIXEL
#   SET bandwidth GB/S
#   SET PROGRAM SECONDS PEAK-KIB KERNEL-SECONDS MINOR-FAULTS USER-SECONDS   (or "fail", "missing")
# Variables: sets (the sets in order), chart (the SVG file to write, "-" for none).

function sorted(list, a,   n, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
  return n
}
function median(list,   a, n) { n = sorted(list, a); return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
function minimum(list,   a) { sorted(list, a); return a[1] }
function maximum(list,   a, n) { n = sorted(list, a); return a[n] }
function cell(v, fmt) { return v == "" ? "-" : sprintf(fmt, v) }
function met(ok) { return ok ? "met" : "NOT met" }
function esc(s) { gsub(/&/, "\\&amp;", s); gsub(/</, "\\&lt;", s); return s }

{
  if ($2 == "size") { w[$1] = $3; h[$1] = $4; L[$1] = $5; bits[$1] = $6; next }
  if ($2 == "traffic") { traffic[$1 SUBSEP $3] = $4; next }
  if ($2 == "bandwidth") { bw[$1] = bw[$1] " " $3; next }
  key = $1 SUBSEP $2
  if ($3 == "fail") { fails[key]++; next }
  if ($3 == "missing") { missing[key] = 1; next }
  t[key] = t[key] " " $3
  sys[key] = sys[key] " " $5
  faults[key] = faults[key] " " $6
  cpu[key] = cpu[key] " " ($5 + $7)
  if ($4 + 0 > peak[key] + 0) peak[key] = $4
}

END {
  title["6mp"] = "6 MP JPEG triple"; title["24mp"] = "24 MP JPEG triple"; title["96mp"] = "96 MP JPEG triple"
  title["6mp16"] = "6 MP 16-bit TIFF triple"; title["24mp16"] = "24 MP 16-bit TIFF triple"
  label["enfuse"] = "enfuse"; label["opencv"] = "OpenCV MergeMertens"
  label["floor-3"] = "floor: libvips decode 3 + encode 1"; label["floor-3c"] = "  the same, decodes concurrent"
  label["floor-2"] = "floor: libvips decode 2 + encode 1"
  np = split("enfuse opencv floor-3 floor-3c floor-2 balance keep-highlights darken-sky baseline-balance baseline-keep-highlights baseline-darken-sky", progs, " ")
  for (i = 6; i <= np; i++) {
    p = progs[i]; m = p; sub(/^baseline-/, "", m)
    label[p] = "quillore-finish " m (p ~ /^baseline-/ ? " (baseline)" : "")
  }
  ns = split(sets, S, " ")
  for (si = 1; si <= ns; si++) {
    s = S[si]
    if (!(s in w)) continue
    for (i = 1; i <= np; i++) { k = s SUBSEP progs[i]; med[s, progs[i]] = (k in t) ? median(t[k]) : "" }
    B = median(bw[s]); px = w[s] * h[s]
    fl["balance"] = med[s, "floor-3"] == "" ? "" : med[s, "floor-3"] + traffic[s, "balance"] * px / 1e9 / B
    fl["keep-highlights"] = med[s, "floor-2"] == "" ? "" : med[s, "floor-2"] + traffic[s, "keep-highlights"] * px / 1e9 / B
    fl["darken-sky"] = med[s, "floor-2"] == "" ? "" : med[s, "floor-2"] + traffic[s, "darken-sky"] * px / 1e9 / B
    printf "\n%s, %dx%d, %d levels; bandwidth (copy, read+write) median %.1f GB/s\n", title[s], w[s], h[s], L[s], B
    printf "%-45s %8s %11s %8s %8s %6s %8s %11s %11s %10s\n", "program", "median s", "range s", "peak MiB", "kernel s",
      "cpu s", "faults k", "enfuse/this", "OpenCV/this", "this/floor"
    for (i = 1; i <= np; i++) {
      p = progs[i]; k = s SUBSEP p
      if (!(k in t) && !(k in missing) && !(k in fails)) continue
      if (!(k in t)) { printf "%-45s %8s\n", label[p], (k in missing) ? "missing" : "failed"; continue }
      m = med[s, p]; mode = p; sub(/^baseline-/, "", mode)
      fx = ((mode in fl) && fl[mode] != "") ? m / fl[mode] : ""
      ex = (med[s, "enfuse"] != "" && m > 0) ? med[s, "enfuse"] / m : ""
      ox = (med[s, "opencv"] != "" && m > 0) ? med[s, "opencv"] / m : ""
      printf "%-45s %8.2f %11s %8.0f %8.2f %6.2f %8.0f %11s %11s %10s%s\n", label[p], m,
        sprintf("%.2f-%.2f", minimum(t[k]), maximum(t[k])), peak[k] / 1024, median(sys[k]), median(cpu[k]),
        median(faults[k]) / 1000,
        cell(ex, "%.2f"), cell(ox, "%.2f"), cell(fx, "%.2f"), (k in fails) ? "  (" fails[k] " failed)" : ""
    }
    for (q = 1; q <= 3; q++) {
      mode = q == 1 ? "balance" : (q == 2 ? "keep-highlights" : "darken-sky")
      if (fl[mode] != "") {
        n = mode == "balance" ? 3 : 2
        printf "modelled floor, %s: %.2f s decode/encode + %.0f B/px = %.2f GB / %.1f GB/s = %.2f s\n", mode,
          med[s, "floor-" n], traffic[s, mode], traffic[s, mode] * px / 1e9, B, fl[mode]
      }
    }
    # The goals of this round of work (issue 13), where they apply.
    gb = med[s, "balance"]
    if (gb != "") {
      printf "goals:"
      if (s != "6mp" && s != "6mp16" && med[s, "enfuse"] != "")
        printf " enfuse/balance %.2f >= 8: %s;", med[s, "enfuse"] / gb, met(med[s, "enfuse"] / gb >= 8)
      pk = peak[s SUBSEP "balance"] / 1024
      if (s == "24mp") printf " balance peak %.0f MiB <= 512: %s;", pk, met(pk <= 512)
      if (s == "96mp") printf " balance peak %.0f MiB <= 2048: %s;", pk, met(pk <= 2048)
      if (s == "24mp16" && ("24mp" SUBSEP "balance") in peak)
        printf " balance peak %.0f MiB <= 1.5 x the 8-bit %.0f: %s;", pk, peak["24mp" SUBSEP "balance"] / 1024,
          met(pk <= 1.5 * peak["24mp" SUBSEP "balance"] / 1024)
      if (med[s, "baseline-balance"] != "")
        printf " balance/baseline %.2f (6 MP goal: no slower)%s;", gb / med[s, "baseline-balance"],
          s == "6mp" ? ": " met(gb <= med[s, "baseline-balance"]) : ""
      printf "\n"
      if (s != "6mp" && s != "6mp16")
        for (q = 0; q < 2; q++) {
          mode = q ? "darken-sky" : "keep-highlights"
          if (med[s, mode] != "") printf "  %s/balance = %.2f (goal <= 0.67: %s)\n", mode, med[s, mode] / gb, met(med[s, mode] / gb <= 2 / 3)
        }
    }
  }
  if (chart != "-" && chart != "") svg()
}

# One panel per set: per program a bar of its median wall time (scaled to the
# set's slowest) and a thin bar of its peak memory (scaled to the set's largest).
function svg(   y, si, s, i, p, k, tmax, pmax, row, bar, x0, wide, tw, pw, colour) {
  x0 = 300; wide = 460; row = 24
  y = 60
  body = ""
  for (si = 1; si <= ns; si++) {
    s = S[si]
    if (!(s in w)) continue
    tmax = 0; pmax = 0
    for (i = 1; i <= np; i++) {
      k = s SUBSEP progs[i]
      if (!(k in t)) continue
      if (med[s, progs[i]] + 0 > tmax) tmax = med[s, progs[i]] + 0
      if (peak[k] + 0 > pmax) pmax = peak[k] + 0
    }
    if (tmax == 0) continue
    body = body sprintf("<text x=\"10\" y=\"%d\" class=\"set\">%s, %dx%d</text>\n", y + 4, esc(title[s]), w[s], h[s])
    y += 14
    for (i = 1; i <= np; i++) {
      p = progs[i]; k = s SUBSEP p
      if (!(k in t)) continue
      colour = p ~ /^baseline-/ ? "#9aa7b8" : (p ~ /^(balance|keep-highlights|darken-sky)$/ ? "#1f6fb2" : (p ~ /^floor/ ? "#b7b7b7" : "#c0504d"))
      tw = wide * med[s, p] / tmax; pw = wide * peak[k] / pmax
      body = body sprintf("<text x=\"%d\" y=\"%d\" class=\"label\">%s</text>\n", x0 - 8, y + 11, esc(label[p]))
      body = body sprintf("<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"11\" fill=\"%s\"/>\n", x0, y + 2, tw, colour)
      body = body sprintf("<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"4\" fill=\"#e8a33d\"/>\n", x0, y + 15, pw)
      body = body sprintf("<text x=\"%d\" y=\"%d\" class=\"value\">%.2f s · %.0f MiB</text>\n", x0 + wide + 8, y + 13, med[s, p], peak[k] / 1024)
      y += row
    }
    y += 16
  }
  printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"900\" height=\"%d\" font-family=\"sans-serif\">\n", y + 10 > chart
  printf "<style>.set{font-size:14px;font-weight:bold}.label{font-size:12px;text-anchor:end}.value{font-size:12px}.note{font-size:11px;fill:#555}</style>\n" > chart
  printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n" > chart
  printf "<text x=\"10\" y=\"18\" class=\"set\">bench/finish/run.sh: median wall time (bar) and peak memory (thin bar), whole process, %d cores</text>\n", cores > chart
  printf "<text x=\"10\" y=\"32\" class=\"note\">blue quillore-finish, grey-blue its baseline, red the peers, grey the decode/encode floors; bars scaled per set to its slowest program and largest peak</text>\n" > chart
  printf "%s</svg>\n", body > chart
  close(chart)
}
