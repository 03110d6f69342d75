// NSArray, NSMutableArray and NSEnumerator: ordered collections that hold a
// reference to each element.
#pragma once

#include "Foundation/NSObject.h"

#include <initializer_list>
#include <vector>

class NSEnumerator;
class NSMutableArray;

class NSArray : public NSObject {
public:
    static Ref<NSArray> array();
    static Ref<NSArray> arrayWithObject(NSObject* object);
    // The objects up to the first null one: a null first object gives an
    // empty array.
    static Ref<NSArray> arrayWithObjects(std::initializer_list<NSObject*> objects);

    size_t count() const noexcept { return objects_.size(); }
    // The element at `index`, not retained; null past the end.
    NSObject* objectAtIndex(size_t index) const noexcept;
    // An enumerator over the elements in order; it holds the array.
    Ref<NSEnumerator> objectEnumerator() const;
    // Whether an element isEqual to `object`.
    bool containsObject(const NSObject* object) const noexcept;
    // A new mutable array of the same elements in the same order.
    Ref<NSMutableArray> mutableCopy() const;

    bool isEqual(const NSObject* other) const noexcept override;
    size_t hash() const noexcept override { return objects_.size(); }
    // The host's comparison when it supplied one (setComparator), else the
    // elements compared in order, a shorter array first when one is the
    // start of the other: pairs of (name, number) order by name, then
    // number, with empty pairs first.
    NSComparisonResult compare(const NSObject* other) const noexcept override;
    Ref<NSString> description() const override;
    const NSArray* asArray() const noexcept override { return this; }

    // The comparison that compare: uses for arrays, as a host's category
    // would supply it; null restores the default.
    using Comparator = NSComparisonResult (*)(const NSArray* left, const NSArray* right);
    static void setComparator(Comparator comparator) noexcept;

protected:
    NSArray() = default;
    ~NSArray() override = default;
    std::vector<Ref<NSObject>> objects_;
};

class NSMutableArray final : public NSArray {
public:
    static Ref<NSMutableArray> array();

    // Appends and retains `object`; a null object is not added.
    void addObject(NSObject* object);
    // Sorts in place into ascending order of `comparator`, sent to one
    // element with another as its argument; equal elements keep their order.
    // Safe with any comparison: one that is no consistent order leaves the
    // same elements in an order it does not define.
    void sortUsingSelector(SEL comparator);

private:
    friend class NSArray;
    NSMutableArray() = default;
    ~NSMutableArray() override = default;
};

class NSEnumerator final : public NSObject {
public:
    // The next element, not retained, or null after the last.
    NSObject* nextObject() noexcept;

private:
    friend class NSArray;
    explicit NSEnumerator(Ref<NSArray> array) noexcept : array_(std::move(array)) {}
    ~NSEnumerator() override = default;
    Ref<NSArray> array_;
    size_t next_ = 0;
};
