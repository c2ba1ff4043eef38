# gen.awk: plans a seeded pair of trees for run.sh, as lists of paths.
#
# Variables (awk -v):
#   out     directory that receives the lists (must exist, with L/ and R/)
#   seed    seed of the generator (a positive integer)
#   per_dir files per directory at the deepest level (default 20)
#   mode    "scan": about n files per side, a share pdiff of the common files
#           with different times, a share ponly of the files on one side only;
#           "sync": nsmall small and nbig large common files, all with
#           different times, and nonly files on each side only
#
# Writes:
#   out/dirs           every directory, parents first
#   out/L/t<secs>      the left files whose mtime is <secs>, one a line
#   out/R/t<secs>      the same for the right tree
#   out/L.small ...    (mode sync) the files to fill with small or large content
#   out/stats          "files_left files_right differing only_left only_right
#                       key_bytes" (key_bytes summed over both sides)
#
# Run it with LC_ALL=C so that lengths are bytes. The random numbers come from
# a Park-Miller generator, so every awk gives the same trees for one seed.

function rnd() {
  state = (state * 16807) % 2147483647
  return state / 2147483647
}

# A whole number from 0 to count - 1.
function pick(count) {
  return int(rnd() * count)
}

# A name of 20 to 40 bytes from German words, ending in "_<index><ext>".
function name(index_text, ext,    suffix, target, text, word, tries) {
  suffix = "_" index_text ext
  target = 20 + pick(21)
  text = words[pick(word_count) + 1]
  for (tries = 0; length(text) + length(suffix) < target && tries < 20; tries++) {
    word = words[pick(word_count) + 1]
    if (length(text) + 1 + length(word) + length(suffix) <= 40)
      text = text separators[pick(separator_count) + 1] word
  }
  while (length(text) + length(suffix) < 20) text = text "_" (2015 + pick(10))
  return text suffix
}

function emit(side, secs, path) {
  print path > (out "/" side "/t" secs)
  files[side]++
  key_bytes += length(path)
}

function emit_content(side, size, path) {
  print path > (out "/" side "." size)
}

function gcd(a, b,    t) {
  while (b != 0) { t = a % b; a = b; b = t }
  return a
}

BEGIN {
  state = seed + 0
  if (state < 1 || state >= 2147483647) state = 1
  for (k = 0; k < 10; k++) rnd()

  word_count = split("Bericht Rechnung Übersicht Protokoll Änderungen Größe " \
    "Prüfung Zusammenfassung Entwurf Angebot Kalkulation Jahresabschluss " \
    "Besprechung Fotos Urlaub Müller Schäfer Köln München Straße Gebäude " \
    "Lösung Bestätigung Vertrag Kündigung Steuer Gehalt Präsentation Projekt " \
    "Archiv Kunden Lieferung Aufträge Märkte Notizen Entwürfe Grüße final " \
    "alt neu Kopie Version Sommer Winter Quartal Haushalt Übergabe", words, " ")
  separators[1] = "_"; separators[2] = "_"; separators[3] = "-"; separators[4] = " "
  separator_count = 4
  ext_count = split(".pdf .docx .txt .jpg .xlsx .odt .png .csv .md .zip", exts, " ")

  # Files get one of a few base times; a differing file is later on one side
  # by one of a few offsets, so the trees are built with few touch batches.
  base_count = 24
  for (k = 0; k < base_count; k++) base[k] = 1500000000 + k * 1234567 + pick(86400)
  offset_count = split("1 2 5 60 3600", offsets, " ")

  if (mode == "sync") {
    total = nsmall + nbig + 2 * nonly
    # A stride coprime to total spreads the roles over the tree.
    stride = 7919
    while (gcd(stride, total) != 1) stride++
  } else {
    total = int(n / (1 - ponly) + 0.5)
  }

  per_dir = int(per_dir + 0)
  if (per_dir < 1) per_dir = 20
  leaves = int((total + per_dir - 1) / per_dir)
  fan = 1
  while (fan * fan * fan < leaves) fan++

  dirs_file = out "/dirs"
  last1 = last2 = last3 = -1
  for (i = 0; i < total; i++) {
    leaf = int(i / per_dir)
    d1 = int(leaf / (fan * fan)); d2 = int(leaf / fan) % fan; d3 = leaf % fan
    if (d1 != last1) {
      dir1 = name(sprintf("%02d", d1), "")
      print dir1 > dirs_file
      last1 = d1; last2 = -1
    }
    if (d2 != last2) {
      dir2 = dir1 "/" name(sprintf("%02d", d2), "")
      print dir2 > dirs_file
      last2 = d2; last3 = -1
    }
    if (d3 != last3) {
      dir3 = dir2 "/" name(sprintf("%02d", d3), "")
      print dir3 > dirs_file
      last3 = d3
    }
    path = dir3 "/" name(sprintf("%02d", i % per_dir), exts[pick(ext_count) + 1])

    size = "small"
    if (mode == "sync") {
      slot = (i * stride) % total
      if (slot < nsmall) role = "diff"
      else if (slot < nsmall + nbig) { role = "diff"; size = "big" }
      else if (slot < nsmall + nbig + nonly) role = "L"
      else role = "R"
    } else {
      r = rnd()
      if (r < ponly) role = "L"
      else if (r < 2 * ponly) role = "R"
      else role = rnd() < pdiff ? "diff" : "same"
    }

    secs = base[pick(base_count)]
    if (role == "same") {
      emit("L", secs, path); emit("R", secs, path)
    } else if (role == "L" || role == "R") {
      emit(role, secs, path)
      only[role]++
    } else {
      later = secs + offsets[pick(offset_count) + 1]
      if (rnd() < 0.5) { emit("L", later, path); emit("R", secs, path) }
      else { emit("L", secs, path); emit("R", later, path) }
      differing++
    }
    if (mode == "sync") {
      if (role != "R") emit_content("L", size, path)
      if (role != "L") emit_content("R", size, path)
    }
  }
  printf "%d %d %d %d %d %d\n", files["L"], files["R"], differing, only["L"],
    only["R"], key_bytes > (out "/stats")
}
