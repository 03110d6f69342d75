#include "Foundation/NSArray.h"
#include "Foundation/NSDictionary.h"

#include <algorithm>

Ref<NSDictionary> NSDictionary::dictionary()
{
    return adoptRef(new NSDictionary());
}

NSObject* NSDictionary::objectForKey(const NSObject* key) const noexcept
{
    if (key == nullptr)
        return nullptr;
    auto found = index_.find(key);
    return found == index_.end() ? nullptr : entries_[found->second].value.get();
}

Ref<NSArray> NSDictionary::allKeys() const
{
    Ref<NSMutableArray> keys = NSMutableArray::array();
    for (const Entry& entry : entries_)
        keys->addObject(entry.key.get());
    return keys;
}

Ref<NSMutableDictionary> NSDictionary::mutableCopy() const
{
    Ref<NSMutableDictionary> copy = NSMutableDictionary::dictionary();
    copy->entries_ = entries_;
    copy->index_.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i)
        copy->index_.emplace(copy->entries_[i].key.get(), i);
    return copy;
}

void NSDictionary::set(NSObject* value, const NSObject* key)
{
    if (key == nullptr)
        return;
    auto found = index_.find(key);
    if (found != index_.end()) {
        size_t position = found->second;
        if (value) {
            entries_[position].value = retainRef(value);
            return;
        }
        // Removal: the index points at the key object, so drop it first.
        index_.erase(found);
        entries_.erase(entries_.begin() + ptrdiff_t(position));
        for (auto& [entryKey, entryPosition] : index_)
            if (entryPosition > position)
                --entryPosition;
        return;
    }
    if (value == nullptr)
        return;
    // A copy, so that a caller changing its own key cannot move the entry.
    Entry entry{key->copy(), retainRef(value)};
    // Room first: once the index points at the key, appending must not
    // fail, or the index would keep a key that the entry's end frees.
    if (entries_.size() == entries_.capacity())
        entries_.reserve(std::max<size_t>(4, 2 * entries_.size()));
    index_.emplace(entry.key.get(), entries_.size());
    entries_.push_back(std::move(entry));
}

Ref<NSMutableDictionary> NSMutableDictionary::dictionary()
{
    return adoptRef(new NSMutableDictionary());
}
