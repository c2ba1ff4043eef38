# sample_trees.sh: a small pair of trees to show kalvern at work.
#
# Sourced by the tests, it defines make_sample_trees.  Run as
#
#   bash tests/cli/sample_trees.sh --demo path/to/kalvern
#
# it builds the pair in a fresh temporary directory and runs kalvern on it
# with standard input left to the terminal, so that the questions can be answered
# (this is what `make demo` does); without a terminal on standard input the
# first question is answered with "n".  The trees are removed afterwards.

# make_sample_trees DIR: creates DIR/links and DIR/rechts, the photos and
# documents of one person on a laptop (links) and on a backup disk (rechts):
#   4 files equal on both sides,
#   Fotos/2024/Harz_017.jpg           edited later on the left,
#   Dokumente/Übersicht_Konten.ods    edited later on the right,
#   Dokumente/Briefe/Vermieter.txt    only on the left,
#   Fotos/2024/Brocken_003.jpg        only on the right.
# Every path is at most 30 characters long, so that with "-c 30" no line of
# the listing is cut.
make_sample_trees() {
  local dir=$1 side
  for side in links rechts; do
    _sample_file "$dir/$side/Fotos/2023/Ostsee_001.jpg" 1692100800 'JPEG Ostsee 1'
    _sample_file "$dir/$side/Fotos/2023/Ostsee_002.jpg" 1692100860 'JPEG Ostsee 2'
    _sample_file "$dir/$side/Dokumente/Rechnung_Mai.pdf" 1685613600 'PDF Rechnung'
    _sample_file "$dir/$side/Einkaufsliste.txt" 1704103200 'Milch, Brot, Äpfel'
  done
  _sample_file "$dir/links/Fotos/2024/Harz_017.jpg" 1717236000 'JPEG Harz, bearbeitet'
  _sample_file "$dir/rechts/Fotos/2024/Harz_017.jpg" 1717149600 'JPEG Harz'
  _sample_file "$dir/links/Dokumente/Übersicht_Konten.ods" 1706781600 'ODS Konten'
  _sample_file "$dir/rechts/Dokumente/Übersicht_Konten.ods" 1709287200 'ODS Konten, März'
  _sample_file "$dir/links/Dokumente/Briefe/Vermieter.txt" 1711965600 'Sehr geehrte Damen und Herren,'
  _sample_file "$dir/rechts/Fotos/2024/Brocken_003.jpg" 1717322400 'JPEG Brocken'
}

# _sample_file PATH SECONDS CONTENT: one file with a fixed modification time.
_sample_file() {
  mkdir -p -- "$(dirname -- "$1")"
  printf '%s\n' "$3" >"$1"
  touch -d "@$2" -- "$1"
}

_sample_demo() {
  local binary=$1
  case $binary in
    /*) ;;
    *) binary=$PWD/$binary ;;
  esac
  _SAMPLE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/kalvern-demo.XXXXXX")
  trap 'cd / && rm -rf "$_SAMPLE_DIR"' EXIT
  make_sample_trees "$_SAMPLE_DIR"
  cd "$_SAMPLE_DIR"
  echo "\$ cd $_SAMPLE_DIR"
  echo "\$ kalvern -c 30 links rechts"
  if [ -t 0 ]; then
    "$binary" -c 30 links rechts
  else
    # No one to ask (an editor, CI): answer "n" and show it after the question,
    # as a terminal would echo it.
    printf 'n\n' | "$binary" -c 30 links rechts | sed 's/ (j\/n)? $/ (j\/n)? n\n/'
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -eu -o pipefail
  if [ $# -ne 2 ] || [ "$1" != --demo ]; then
    echo "usage: bash $0 --demo KALVERN_BINARY" >&2
    exit 2
  fi
  _sample_demo "$2"
fi
