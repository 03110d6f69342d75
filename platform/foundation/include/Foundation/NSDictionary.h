// NSDictionary and NSMutableDictionary: tables from keys to objects. Keys
// are equal by isEqual and hashed by hash (strings by their text); the
// table holds a copy of each key and a reference to each value.
#pragma once

#include "Foundation/NSString.h"

#include <unordered_map>
#include <vector>

class NSArray;
class NSMutableDictionary;

class NSDictionary : public NSObject {
public:
    static Ref<NSDictionary> dictionary();

    size_t count() const noexcept { return entries_.size(); }
    // The value under `key`, not retained, or null.
    NSObject* objectForKey(const NSObject* key) const noexcept;
    // The keys, in the order they were first added.
    Ref<NSArray> allKeys() const;
    // A new mutable dictionary of the same entries.
    Ref<NSMutableDictionary> mutableCopy() const;

protected:
    NSDictionary() = default;
    ~NSDictionary() override = default;
    void set(NSObject* value, const NSObject* key);

private:
    struct KeyHash {
        size_t operator()(const NSObject* key) const noexcept { return key->hash(); }
    };
    struct KeyEqual {
        bool operator()(const NSObject* a, const NSObject* b) const noexcept { return a->isEqual(b); }
    };
    struct Entry {
        Ref<NSObject> key;
        Ref<NSObject> value;
    };
    std::vector<Entry> entries_;
    std::unordered_map<const NSObject*, size_t, KeyHash, KeyEqual> index_;
};

class NSMutableDictionary final : public NSDictionary {
public:
    static Ref<NSMutableDictionary> dictionary();

    // Adds the entry or replaces the one under an equal key; a null value
    // removes it.
    void setValue(NSObject* value, const NSString* key) { set(value, key); }
    void setObject(NSObject* value, const NSObject* key) { set(value, key); }

private:
    friend class NSDictionary;
    NSMutableDictionary() = default;
    ~NSMutableDictionary() override = default;
};
