# A power cut after and during a run, on small ext4 and xfs file systems in
# image files.  The file system is shut down the way a power cut leaves it
# (journal committed, file data not yet written back) and mounted again;
# every target must then hold either its old bytes and time or the source's
# bytes and time, never a new time over other bytes.  Needs root, loop
# devices, mkfs.ext4, mkfs.xfs and xfs_io; skips itself (status 77) without.
. "$(dirname "$0")/common.sh"

skip() {
  echo "SKIP: $*" >&2
  exit 77
}

[ "$(id -u)" -eq 0 ] || skip "mounting file systems needs root"
for tool in mkfs.ext4 mkfs.xfs xfs_io mount umount; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (xfsprogs, e2fsprogs)"
done

MOUNTS=()
unmount_all() {
  local mnt
  for mnt in "${MOUNTS[@]}"; do
    mountpoint -q "$mnt" && umount "$mnt" 2>/dev/null || true
  done
}
trap 'status=$?; unmount_all; (exit $status); cleanup' EXIT

# make_fs TYPE DIR: a fresh file system of TYPE in an image file, mounted
# on DIR; skips the test where mounting is not permitted.
make_fs() {
  local type=$1 mnt=$2 image=$2.img
  mkdir -p "$mnt"
  truncate -s 320M "$image"
  case $type in
    ext4) mkfs.ext4 -q -F "$image" >/dev/null ;;
    xfs) mkfs.xfs -q -f "$image" >/dev/null ;;
  esac
  mount -o loop "$image" "$mnt" 2>"$HELPER_DIR/mount.err" ||
    skip "cannot mount a loop device here: $(cat "$HELPER_DIR/mount.err")"
  MOUNTS+=("$mnt")
}

# remount DIR: unmounts the shut-down file system and mounts it again, which
# replays its journal.  A file system still busy for a moment is waited
# for: mounted twice, its image would be read half replayed.
remount() {
  local i
  for i in $(seq 1 50); do
    umount "$1" 2>/dev/null && break
    sleep 0.1
  done
  ! mountpoint -q "$1" || { fail "$1 stays mounted"; return 1; }
  mount -o loop "$1.img" "$1"
}

# make_trees DIR EXPECT: trees with 200 updates and 100 one-sided files each
# way, with content of a few KiB, all written back before the run; records in
# the file EXPECT (outside the file system) for every target: "path old-time
# old-sum new-time new-sum" (old "- -" for a file that did not exist).  One
# perl process writes them all.
make_trees() {
  DIR=$1 EXPECT=$2 perl -MDigest::MD5=md5_hex -MFile::Path=make_path -e '
    my ($dir, @expect) = ($ENV{DIR});
    sub put {  # put PATH SECONDS CONTENT: the file, its time; its sum
      my ($path, $seconds, $content) = @_;
      (my $parent = "$dir/$path") =~ s{/[^/]*$}{};
      make_path($parent);
      open(my $fh, ">", "$dir/$path") or die "$path: $!";
      print $fh $content;
      close($fh) or die "$path: $!";
      utime($seconds, $seconds, "$dir/$path") or die "$path: $!";
      return md5_hex($content);
    }
    sub noise { join("", map { chr(33 + int(rand(90))) } 1 .. $_[0]) }
    for my $i (1 .. 200) {
      my $name = "u/" . ($i % 10) . "/f$i";
      my $new = put("L/$name", 2000000 + $i, noise(3000 + $i));
      my $old = put("R/$name", 1000000 + $i, "old $i");
      push @expect, "R/$name " . (1000000 + $i) . " $old " . (2000000 + $i) . " $new";
    }
    for my $i (1 .. 100) {
      my $name = "only-left/" . ($i % 7) . "/n$i";
      my $sum = put("L/$name", 3000000 + $i, noise(5000));
      push @expect, "R/$name - - " . (3000000 + $i) . " $sum";
      $name = "only-right/" . ($i % 7) . "/n$i";
      $sum = put("R/$name", 4000000 + $i, noise(5000));
      push @expect, "L/$name - - " . (4000000 + $i) . " $sum";
    }
    open(my $fh, ">", $ENV{EXPECT}) or die "$ENV{EXPECT}: $!";
    print $fh map { "$_\n" } @expect;
  '
  sync
}

# check_targets DIR EXPECT LABEL: every target listed in EXPECT holds its old
# state or the new one; prints how many hold which, and a line per target
# that holds neither.
check_targets() {
  local problems
  problems=$(DIR=$1 LABEL=$3 perl -MDigest::MD5=md5_hex -ne '
    my ($path, $old_time, $old_sum, $new_time, $new_sum) = split;
    my $file = "$ENV{DIR}/$path";
    if (!-e $file) {
      if ($old_time eq "-") { $old++ } else { $torn++; print "$path is gone\n" }
      next;
    }
    open(my $fh, "<", $file) or die "$file: $!";
    my $state = (stat($fh))[9] . " " . Digest::MD5->new->addfile($fh)->hexdigest;
    if ($state eq "$new_time $new_sum") { $new++ }
    elsif ($state eq "$old_time $old_sum") { $old++ }
    else { $torn++; printf "%s has time %s over other bytes (%d bytes)\n", $path, (stat($file))[9], -s $file }
    END {
      print "checked ", $new + $old + $torn, " of 400 targets\n" if $new + $old + $torn != 400;
      printf STDERR "%s: %d targets new, %d old, %d torn\n", $ENV{LABEL}, $new, $old, $torn;
    }
  ' "$2")
  [ -z "$problems" ] || fail "$3: $problems"
}

# power_cut TYPE WHEN: one run on a fresh file system of TYPE, cut off
# right after the run (WHEN=after) or in its middle (WHEN=during).
power_cut() {
  local type=$1 when=$2 mnt=$TEST_TMP/$1-$2 pid i
  make_fs "$type" "$mnt"
  make_trees "$mnt/t" "$mnt.expect"
  if [ "$when" = after ]; then
    run_kalvern --stdin "$(expected 'b\n')" --cwd "$mnt/t" -- -y -c 30 L R
    check_status 0 "$LAST_RUN on $type"
    check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN on $type"
  else
    env -C "$mnt/t" "$KALVERN" -y -c 30 L R <"$(expected 'b\n')" >"$OUT" 2>"$ERR" &
    pid=$!
    # Cut it off once a third of the copies have begun.
    for i in $(seq 1 400); do
      [ "$(grep -c ' -> ' "$OUT" || true)" -ge 130 ] && break
      sleep 0.01
    done
  fi
  xfs_io -x -c "shutdown -f" "$mnt"
  if [ "$when" = during ]; then wait "$pid" || true; fi
  remount "$mnt"
  check_targets "$mnt/t" "$mnt.expect" "$type, power cut $when the run"
  umount "$mnt"
}

power_cut ext4 after
power_cut ext4 during
power_cut xfs after
power_cut xfs during
