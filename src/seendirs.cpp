// seendirs.cpp: the identities of directories seen or made.
//
// A scan of half a million files meets tens of thousands of directories.
// Each costs one record of its identity and a hash of its path, SipHash-2-4
// under a key drawn once per run, so that no one who names directories can
// make two paths share a hash; the records are sorted once for a binary
// search.

#include "seendirs.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// The run's key of the hash, drawn once.
struct HashKey {
  std::uint64_t k0 = 0, k1 = 0;
};

}  // namespace

static HashKey draw_key() {
  HashKey key;
  if (getrandom(&key, sizeof key, 0) != sizeof key) {
    // No entropy source: a key no one can read beforehand all the same.
    key.k0 = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    key.k1 = reinterpret_cast<std::uintptr_t>(&key) ^ key.k0 * 31;
  }
  return key;
}

static std::uint64_t rotl(std::uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

// `rounds` SipRounds over the state `v`.
static void sip_rounds(std::uint64_t v[4], int rounds) {
  for (int i = 0; i < rounds; ++i) {
    v[0] += v[1], v[1] = rotl(v[1], 13), v[1] ^= v[0], v[0] = rotl(v[0], 32);
    v[2] += v[3], v[3] = rotl(v[3], 16), v[3] ^= v[2];
    v[0] += v[3], v[3] = rotl(v[3], 21), v[3] ^= v[0];
    v[2] += v[1], v[1] = rotl(v[1], 17), v[1] ^= v[2], v[2] = rotl(v[2], 32);
  }
}

// SipHash-2-4 of `text` under the run's key.
static std::uint64_t path_hash(std::string_view text) {
  static const HashKey key = draw_key();
  std::uint64_t v[4] = {key.k0 ^ 0x736f6d6570736575ULL,
                        key.k1 ^ 0x646f72616e646f6dULL,
                        key.k0 ^ 0x6c7967656e657261ULL,
                        key.k1 ^ 0x7465646279746573ULL};
  std::size_t full = text.size() / 8 * 8;
  for (std::size_t i = 0; i < full; i += 8) {
    std::uint64_t m = 0;
    for (int b = 7; b >= 0; --b) {
      m = m << 8 | static_cast<unsigned char>(text[i + b]);
    }
    v[3] ^= m;
    sip_rounds(v, 2);
    v[0] ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(text.size()) << 56;
  for (std::size_t i = full; i < text.size(); ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i]))
            << (8 * (i - full));
  }
  v[3] ^= last;
  sip_rounds(v, 2);
  v[0] ^= last;
  v[2] ^= 0xff;
  sip_rounds(v, 4);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

void add_seen_dir(SeenDirs& dirs, std::string_view path, DirId id) {
  dirs.entries.push_back({path_hash(path), id});
}

void sort_seen_dirs(SeenDirs& dirs) {
  std::sort(dirs.entries.begin(), dirs.entries.end(),
            [](const SeenDirs::Entry& a, const SeenDirs::Entry& b) {
              return a.hash < b.hash;
            });
}

bool find_seen_dir(const SeenDirs& dirs, std::string_view path, DirId& id) {
  std::uint64_t hash = path_hash(path);
  auto found = std::lower_bound(
      dirs.entries.begin(), dirs.entries.end(), hash,
      [](const SeenDirs::Entry& entry, std::uint64_t wanted) {
        return entry.hash < wanted;
      });
  if (found == dirs.entries.end() || found->hash != hash) return false;
  id = found->id;
  return true;
}

void note_made_dir(MadeDirIds& made, const std::string& path, DirId id) {
  std::lock_guard<std::mutex> hold(made.lock);
  made.ids[path] = id;
  made.any.store(true, std::memory_order_release);
}

bool find_made_dir(MadeDirIds& made, const std::string& path, DirId& id) {
  if (!made.any.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> hold(made.lock);
  auto found = made.ids.find(path);
  if (found == made.ids.end()) return false;
  id = found->second;
  return true;
}
