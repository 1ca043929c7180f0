#include "tolm/zRecord.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "zKeyRegistry.h"

namespace {

// Float view of a stored value: finite values beyond the float range saturate
// at the largest float instead of converting out of range.
float ToFloat(double d) {
  constexpr double kMax = static_cast<double>(std::numeric_limits<float>::max());
  if (d > kMax && std::isfinite(d)) return std::numeric_limits<float>::max();
  if (d < -kMax && std::isfinite(d)) return -std::numeric_limits<float>::max();
  return static_cast<float>(d);
}

// Copies the tag, flags and value of `source` into `destination`, keeping the
// destination's key and flag bit. Plain values only: never allocates.
void AssignPlainValue(zVariable& destination, const zVariable& source) {
  // Only an owned value has anything to free; the fields are written below.
  if (destination.Tag() == kzTypeOwned) destination.Clear();
  destination.value = source.value;
  destination.flags = source.flags;
  destination.type = static_cast<uint8_t>((destination.type & zVariable::kFlagBit) | source.Tag());
}

}  // namespace

zRecord::zRecord() = default;

zRecord::zRecord(const zRecord& other) {
  try {
    entries_ = other.entries_;
  } catch (...) {
    // Memory is short: the copy starts empty rather than throwing.
    entries_.clear();
  }
}

zRecord& zRecord::operator=(const zRecord& other) {
  if (this != &other) Copy(other, true, true, zRecordFactory{});
  return *this;
}

zRecord::~zRecord() = default;

void zRecord::variable_changing(zVariable&) {}

zVariable* zRecord::Slot(zKey key) {
  for (uint32_t i = 0; i < fixedCount_; ++i) {
    if (fixed_[i].key == key) return &fixed_[i];
  }
  for (zVariable& entry : entries_) {
    if (entry.key == key) return &entry;
  }
  return nullptr;
}

zVariable* zRecord::SlotForWrite(zKey key) {
  if (zVariable* slot = Slot(key)) return slot;
  try {
    entries_.emplace_back(key);
  } catch (...) {
    return nullptr;
  }
  return &entries_.back();
}

const zVariable* zRecord::Find(zKey key) const { return const_cast<zRecord*>(this)->Slot(key); }

zVariable* zRecord::Find(zKey key) { return Slot(key); }

bool zRecord::Has(zKey key) const {
  const zVariable* slot = Find(key);
  return slot && !slot->IsEmpty();
}

void zRecord::RemoveID(zKey key) {
  for (uint32_t i = 0; i < fixedCount_; ++i) {
    if (fixed_[i].key == key) {
      variable_changing(fixed_[i]);
      fixed_[i].Clear();
      return;
    }
  }
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->key == key) {
      variable_changing(*it);
      entries_.erase(it);
      return;
    }
  }
}

bool zRecord::SetInt32(zKey key, int32_t value, char flags) {
  zVariable* slot = SlotForWrite(key);
  if (!slot) return false;
  variable_changing(*slot);
  slot->SetInt32(value, flags);
  return true;
}

bool zRecord::SetInt64(zKey key, int64_t value, char flags) {
  zVariable* slot = SlotForWrite(key);
  if (!slot) return false;
  variable_changing(*slot);
  slot->SetInt64(value, flags);
  return true;
}

bool zRecord::SetUInt64(zKey key, uint64_t value, char flags) {
  zVariable* slot = SlotForWrite(key);
  if (!slot) return false;
  variable_changing(*slot);
  slot->SetUInt64(value, flags);
  return true;
}

bool zRecord::SetBool(zKey key, bool value, char flags) {
  zVariable* slot = SlotForWrite(key);
  if (!slot) return false;
  variable_changing(*slot);
  slot->SetBool(value, flags);
  return true;
}

bool zRecord::SetFloat(zKey key, float value, char flags) {
  zVariable* slot = SlotForWrite(key);
  if (!slot) return false;
  variable_changing(*slot);
  slot->SetFloat(value, flags);
  return true;
}

bool zRecord::SetDouble(zKey key, double value, char flags) {
  zVariable* slot = SlotForWrite(key);
  if (!slot) return false;
  variable_changing(*slot);
  slot->SetDouble(value, flags);
  return true;
}

bool zRecord::SetText(zKey key, const char* text, char flags) {
  if (!text) return false;
  // The bytes are copied before the slot is touched, so a shortage of memory
  // leaves the record as it was.
  zVariable copy;
  if (!copy.SetOwned(text, -1, flags)) return false;
  zVariable* slot = SlotForWrite(key);
  if (!slot) return false;
  variable_changing(*slot);
  slot->Clear();
  slot->value = copy.value;
  slot->flags = flags;
  slot->type = static_cast<uint8_t>((slot->type & zVariable::kFlagBit) | kzTypeOwned);
  // The bytes now belong to the slot.
  copy.type = kzTypeNone;
  copy.value = zVariable::Value{};
  return true;
}

bool zRecord::SetInt32(const char* key, int32_t value, char flags) {
  const zKey id = KeyForString(key);
  return id != 0 && SetInt32(id, value, flags);
}

bool zRecord::SetInt64(const char* key, int64_t value, char flags) {
  const zKey id = KeyForString(key);
  return id != 0 && SetInt64(id, value, flags);
}

bool zRecord::SetUInt64(const char* key, uint64_t value, char flags) {
  const zKey id = KeyForString(key);
  return id != 0 && SetUInt64(id, value, flags);
}

bool zRecord::SetBool(const char* key, bool value, char flags) {
  const zKey id = KeyForString(key);
  return id != 0 && SetBool(id, value, flags);
}

bool zRecord::SetFloat(const char* key, float value, char flags) {
  const zKey id = KeyForString(key);
  return id != 0 && SetFloat(id, value, flags);
}

int32_t zRecord::AsInt32(zKey key, int32_t def) const {
  const zVariable* slot = Find(key);
  return slot ? slot->AsInt32_full(def) : def;
}

int64_t zRecord::AsInt64(zKey key, int64_t def) const {
  const zVariable* slot = Find(key);
  return slot ? slot->AsInt64_full(def) : def;
}

uint64_t zRecord::AsUInt64(zKey key, uint64_t def) const {
  const zVariable* slot = Find(key);
  return slot ? slot->AsUInt64_full(def) : def;
}

bool zRecord::AsBool(zKey key, bool def) const {
  const zVariable* slot = Find(key);
  return slot ? slot->AsBool_full(def) : def;
}

float zRecord::AsFloat(zKey key, float def) const {
  const zVariable* slot = Find(key);
  if (!slot) return def;
  if (slot->Tag() == kzTypeFloat) return slot->value.f;
  const uint8_t tag = slot->Tag();
  if (tag == kzTypeNone || tag == kzTypeOwned) return def;
  return ToFloat(slot->AsDouble_full(static_cast<double>(def)));
}

double zRecord::AsDouble(zKey key, double def) const {
  const zVariable* slot = Find(key);
  return slot ? slot->AsDouble_full(def) : def;
}

const char* zRecord::AsText(zKey key) const {
  const zVariable* slot = Find(key);
  return slot ? slot->OwnedData() : nullptr;
}

int32_t zRecord::AsInt32(const char* key, int32_t def) const {
  // A key that was never interned cannot be in any record; looking it up
  // without interning keeps the getter free of allocations.
  if (!key) return def;
  const zKey id = zKeyRegistry::Find(std::string_view(key));
  return id != 0 ? AsInt32(id, def) : def;
}

bool zRecord::Copy(const zRecord& source, bool fullCopy, bool keyedOnly, const zRecordFactory& factory) {
  if (&source == this) return true;
  bool complete = true;

  // Copies one value of the source into `destination` (whose key is already
  // right), honouring fullCopy and the factory. False when memory is short.
  auto copyValue = [&](zVariable& destination, const zVariable& value) -> bool {
    if (value.Tag() != kzTypeOwned) {
      AssignPlainValue(destination, value);
      return true;
    }
    if (factory) return factory(destination, value);
    return destination.full_copy(value.type, value);
  };

  // Fixed fields that both records have, matched by key.
  if (!keyedOnly) {
    for (uint32_t i = 0; i < fixedCount_; ++i) {
      zVariable& mine = fixed_[i];
      // Records of one class list their fixed fields in the same order: the
      // field at the same position is tried first, the others searched only
      // when it does not match (a cache hit copies a whole media record).
      const zVariable* theirs = nullptr;
      if (i < source.fixedCount_ && source.fixed_[i].key == mine.key) {
        theirs = &source.fixed_[i];
      } else {
        for (uint32_t j = 0; j < source.fixedCount_; ++j) {
          if (source.fixed_[j].key == mine.key) {
            theirs = &source.fixed_[j];
            break;
          }
        }
      }
      if (!theirs) continue;
      variable_changing(mine);
      if (theirs->Tag() == kzTypeOwned && !fullCopy) {
        mine.Clear();
      } else if (!copyValue(mine, *theirs)) {
        complete = false;
      }
    }
  }

  // Keyed entries: overwrite this record's entries in place, position by
  // position, so that a record of the same shape costs no allocation.
  size_t written = 0;
  for (const zVariable& theirs : source.entries_) {
    if (theirs.Tag() == kzTypeOwned && !fullCopy) continue;
    // An entry whose key names one of this record's fixed fields lands in
    // that field (every keyed operation reads the fixed fields first).
    zVariable* fixedSlot = nullptr;
    for (uint32_t i = 0; i < fixedCount_; ++i) {
      if (fixed_[i].key == theirs.key) {
        fixedSlot = &fixed_[i];
        break;
      }
    }
    if (fixedSlot) {
      if (keyedOnly) continue;
      variable_changing(*fixedSlot);
      if (!copyValue(*fixedSlot, theirs)) complete = false;
      continue;
    }
    if (written == entries_.size()) {
      try {
        entries_.emplace_back(theirs.key);
      } catch (...) {
        complete = false;
        break;
      }
    }
    zVariable& mine = entries_[written];
    variable_changing(mine);
    mine.key = theirs.key;
    // The slot's flag bit follows the source: the entry is replaced, not kept.
    mine.type = static_cast<uint8_t>((mine.type & zVariable::kTagMask) | (theirs.type & zVariable::kFlagBit));
    if (!copyValue(mine, theirs)) {
      complete = false;
      mine.Clear();
    }
    ++written;
  }

  // Entries beyond what the source supplied are removed; shrinking keeps the
  // vector's capacity for the next copy.
  for (size_t i = written; i < entries_.size(); ++i) variable_changing(entries_[i]);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(written), entries_.end());
  return complete;
}

bool zRecord::Equals(const zRecord& other) const {
  if (fixedCount_ != other.fixedCount_ || entries_.size() != other.entries_.size()) return false;
  for (uint32_t i = 0; i < fixedCount_; ++i) {
    if (fixed_[i].key != other.fixed_[i].key || !fixed_[i].SameValue(other.fixed_[i])) return false;
  }
  for (const zVariable& mine : entries_) {
    bool found = false;
    for (const zVariable& theirs : other.entries_) {
      if (theirs.key == mine.key) {
        found = mine.SameValue(theirs);
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

zKey zRecord::KeyForString(const char* key) {
  if (!key) return 0;
  return zKeyRegistry::Intern(std::string_view(key));
}

const char* zRecord::StringForKey(zKey key) { return zKeyRegistry::Text(key); }
