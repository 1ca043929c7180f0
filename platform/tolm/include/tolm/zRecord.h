#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "tolm/tolmExport.h"
#include "tolm/zVariable.h"

// Called by zRecord::Copy for each owned value when a full copy is asked for:
// it fills `destination` from `source`. Empty means a plain byte copy.
using zRecordFactory = std::function<bool(zVariable& destination, const zVariable& source)>;

// Typed values under 64-bit keys. A record has keyed entries (in insertion
// order) and, for subclasses such as the media record, a fixed set of
// member variables that the subclass registers with AttachFixedFields: every
// keyed operation looks at the fixed fields first, so a fixed field is read and
// written by its key like any entry.
//
// Keyed entries live in one vector that keeps its capacity: replacing a
// record's contents with another record of the same shape allocates nothing.
// Not thread-safe; the owner guards it.
class TOLM_EXPORT zRecord {
 public:
  zRecord();
  // Copies the keyed entries (owned values included). Fixed fields belong to
  // the subclass, which copies them itself.
  zRecord(const zRecord& other);
  zRecord& operator=(const zRecord& other);
  virtual ~zRecord();

  // Removes the keyed entry `key`; a fixed field with that key is cleared
  // instead (it keeps its key). Unknown keys are ignored.
  virtual void RemoveID(zKey key);
  // Hook called just before a variable of this record changes. Empty here.
  virtual void variable_changing(zVariable& variable);

  // Setters write the fixed field or entry with `key`, creating an entry when
  // there is none. `flags` is stored with the value (2 marks a buffer's
  // display size). They return false only when memory is short (nothing
  // changed then). The flag bit of an existing slot is kept.
  bool SetInt32(zKey key, int32_t value, char flags = 0);
  bool SetInt64(zKey key, int64_t value, char flags = 0);
  bool SetUInt64(zKey key, uint64_t value, char flags = 0);
  bool SetBool(zKey key, bool value, char flags = 0);
  bool SetFloat(zKey key, float value, char flags = 0);
  bool SetDouble(zKey key, double value, char flags = 0);
  // Copies NUL-terminated text into an owned value. A null text gives false.
  bool SetText(zKey key, const char* text, char flags = 0);
  // String-keyed forms; the key is interned (no allocation after its first use).
  // A null or empty key gives false and changes nothing.
  bool SetInt32(const char* key, int32_t value, char flags = 0);
  bool SetInt64(const char* key, int64_t value, char flags = 0);
  bool SetUInt64(const char* key, uint64_t value, char flags = 0);
  bool SetBool(const char* key, bool value, char flags = 0);
  bool SetFloat(const char* key, float value, char flags = 0);

  // Getters convert what is stored (saturating, see zVariable); `def` when the
  // key is missing, empty or owned. AsFloat clamps finite doubles beyond the
  // float range to +-FLT_MAX.
  int32_t AsInt32(zKey key, int32_t def) const;
  int64_t AsInt64(zKey key, int64_t def) const;
  uint64_t AsUInt64(zKey key, uint64_t def) const;
  bool AsBool(zKey key, bool def) const;
  float AsFloat(zKey key, float def) const;
  double AsDouble(zKey key, double def) const;
  // Owned text, or null.
  const char* AsText(zKey key) const;
  // Looks the string key up without interning it: a key never interned is
  // missing (`def`), and the call never allocates.
  int32_t AsInt32(const char* key, int32_t def) const;

  // True when the key holds a value (an empty fixed field does not count).
  bool Has(zKey key) const;
  const zVariable* Find(zKey key) const;
  zVariable* Find(zKey key);
  // Number of keyed entries (fixed fields not counted).
  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  const zVariable& EntryAt(int32_t index) const { return entries_[static_cast<size_t>(index)]; }
  int32_t FixedFieldCount() const { return static_cast<int32_t>(fixedCount_); }
  const zVariable& FixedFieldAt(int32_t index) const { return fixed_[index]; }

  // Replaces this record's contents with `source`'s.
  //  - fullCopy: owned values are copied too (through `factory` when set);
  //    otherwise owned values of the source are left out.
  //  - keyedOnly: only the keyed entries are replaced and the fixed fields
  //    are left to the caller; otherwise fixed fields shared by both records
  //    (matched by key) are copied as well (keeping this record's flag bits;
  //    a fixed field whose source value is owned and left out is cleared),
  //    and a source entry whose key names one of this record's fixed fields
  //    is written into that field.
  // Keyed entries of this record that the source lacks are removed; entries
  // are overwritten in place, so the copy allocates nothing when this record's
  // vector already has room for the source's entries (owned values aside).
  // variable_changing runs before each variable is written or removed.
  // Returns false when memory is short or the factory fails; the record may
  // then hold part of the source. Copying a record onto itself does nothing.
  bool Copy(const zRecord& source, bool fullCopy, bool keyedOnly, const zRecordFactory& factory);

  // Same fixed fields (position by position, same keys) and the same set of
  // keyed entries with the same values (order of entries does not matter).
  bool Equals(const zRecord& other) const;

  // Interns a NUL-terminated string key and returns its stable id (top bit
  // set, so it never collides with a four-character code). The first use of a
  // string allocates; later uses only look it up. A null or empty key gives 0.
  static zKey KeyForString(const char* key);
  // The text of an interned key, or null.
  static const char* StringForKey(zKey key);
  static bool IsStringKey(zKey key) { return (key >> 63) != 0; }

 protected:
  // Registers the subclass's fixed fields (`count` consecutive zVariables).
  // Each must carry its key. Call from every constructor of the subclass.
  void AttachFixedFields(zVariable* first, uint32_t count) {
    fixed_ = first;
    fixedCount_ = count;
  }

 private:
  zVariable* Slot(zKey key);
  zVariable* SlotForWrite(zKey key);

  std::vector<zVariable> entries_;
  zVariable* fixed_ = nullptr;
  uint32_t fixedCount_ = 0;
};
