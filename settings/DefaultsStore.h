// The per-user defaults store: a user domain over a registration domain, persisted as an XML
// property list. Every operation is safe from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

class DefaultsStore {
 public:
  // The process's store, persisted at $SORV_DEFAULTS, else
  // $XDG_CONFIG_HOME/Sorv/com.quenmor.SorvUploader.plist (~/.config when unset).
  // Loaded on first use.
  static DefaultsStore& standard();
  // Makes standard() a fresh store on `path` (tests; not while other threads use it).
  static void resetStandardForPath(const std::string& path);
  // Waits for a write of standard() that is under way, if any (tests swap the Env beneath it).
  static void settleStandard();

  // Loads path. A file that is not a readable dictionary property list is logged and moved
  // aside as "<path>.corrupt-<timestamp>[-N]" (never over an existing file); the store then
  // starts empty. When it cannot be moved, the store keeps its values in memory only.
  explicit DefaultsStore(std::string path);  // empty path: memory only
  ~DefaultsStore();                          // flushes pending writes
  DefaultsStore(const DefaultsStore&) = delete;
  DefaultsStore& operator=(const DefaultsStore&) = delete;

  // Reads: user value, else registered default. Conversions:
  //   stringForKey: text, a number's text, else nullopt
  //   boolForKey: "yes"/"no" in any case (and numeric texts), numbers non-zero; else false
  //   integerForKey / floatForKey: number or the text's numeric value; else 0
  std::optional<std::string> stringForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  long long integerForKey(const std::string& key) const;
  double floatForKey(const std::string& key) const;
  std::optional<Value> objectForKey(const std::string& key) const;

  // Writes go to the user domain and are flushed soon after (and at exit). The file gets only
  // the keys written here; the values read stay those of the load.
  void setObject(const Value& value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void setInteger(long long value, const std::string& key);
  void removeObject(const std::string& key);
  // Replaces the registration domain.
  void registerDefaults(const Dict& defaults);
  // Writes the keys set or removed since the last write to disk now, over what the file holds
  // now (mode 0600: it holds the login password), so that keys another program wrote there
  // meanwhile are kept; false when the write failed.
  bool synchronize();

  // The user domain as it is now (for preference files and tests).
  Dict userDomain() const;

  // Calls fn(key) after every write of key (any thread, outside the store's lock). A write
  // already under way on another thread may still call an observer that is being removed.
  using Observer = std::function<void(const std::string& key)>;
  int addObserver(Observer fn);
  void removeObserver(int id);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace sorv
