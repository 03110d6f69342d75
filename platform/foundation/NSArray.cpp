#include "Foundation/NSArray.h"
#include "Foundation/NSString.h"

#include <algorithm>
#include <numeric>

namespace {
std::atomic<NSArray::Comparator> hostComparator{nullptr};
}

Ref<NSArray> NSArray::array()
{
    return adoptRef(new NSArray());
}

Ref<NSArray> NSArray::arrayWithObject(NSObject* object)
{
    return arrayWithObjects({object});
}

Ref<NSArray> NSArray::arrayWithObjects(std::initializer_list<NSObject*> objects)
{
    Ref<NSArray> array = adoptRef(new NSArray());
    array->objects_.reserve(objects.size());
    for (NSObject* object : objects) {
        if (object == nullptr)
            break;
        array->objects_.push_back(retainRef(object));
    }
    return array;
}

NSObject* NSArray::objectAtIndex(size_t index) const noexcept
{
    return index < objects_.size() ? objects_[index].get() : nullptr;
}

Ref<NSEnumerator> NSArray::objectEnumerator() const
{
    return adoptRef(new NSEnumerator(retainRef(const_cast<NSArray*>(this))));
}

bool NSArray::containsObject(const NSObject* object) const noexcept
{
    return object && std::any_of(objects_.begin(), objects_.end(),
                                 [object](const Ref<NSObject>& element) { return object->isEqual(element.get()); });
}

Ref<NSMutableArray> NSArray::mutableCopy() const
{
    Ref<NSMutableArray> copy = NSMutableArray::array();
    copy->objects_ = objects_;
    return copy;
}

bool NSArray::isEqual(const NSObject* other) const noexcept
{
    const NSArray* array = other ? other->asArray() : nullptr;
    return array && std::equal(objects_.begin(), objects_.end(), array->objects_.begin(), array->objects_.end(),
                               [](const Ref<NSObject>& a, const Ref<NSObject>& b) { return a->isEqual(b.get()); });
}

NSComparisonResult NSArray::compare(const NSObject* other) const noexcept
{
    const NSArray* array = other ? other->asArray() : nullptr;
    if (array == nullptr)
        return NSOrderedDescending;
    if (Comparator comparator = hostComparator.load(std::memory_order_acquire))
        return comparator(this, array);
    size_t common = std::min(objects_.size(), array->objects_.size());
    for (size_t i = 0; i < common; ++i)
        if (NSComparisonResult order = objects_[i]->compare(array->objects_[i].get()); order != NSOrderedSame)
            return order;
    return objects_.size() < array->objects_.size()   ? NSOrderedAscending
           : objects_.size() > array->objects_.size() ? NSOrderedDescending
                                                      : NSOrderedSame;
}

Ref<NSString> NSArray::description() const
{
    Ref<NSMutableString> text = NSMutableString::string();
    text->appendFormat("(");
    for (size_t i = 0; i < objects_.size(); ++i)
        text->appendFormat(i ? ", %@" : "%@", objects_[i].get());
    text->appendFormat(")");
    return text->description();
}

void NSArray::setComparator(Comparator comparator) noexcept
{
    hostComparator.store(comparator, std::memory_order_release);
}

Ref<NSMutableArray> NSMutableArray::array()
{
    return adoptRef(new NSMutableArray());
}

void NSMutableArray::addObject(NSObject* object)
{
    if (object == nullptr)
        return;
    // Skips the growth steps of one and two elements.
    if (objects_.capacity() == 0)
        objects_.reserve(4);
    objects_.push_back(retainRef(object));
}

void NSMutableArray::sortUsingSelector(SEL comparator)
{
    // The comparison is the host's and need not be a strict weak order; it
    // may even answer at random. The standard sorts may then run past the
    // ends of the array, so this one only ever compares positions inside the
    // bounds it walks and always yields a permutation of the elements.
    // Stable: an element moves ahead of another only when it compares
    // ascending to it.
    constexpr size_t kRun = 16;
    const size_t count = objects_.size();
    auto less = [comparator](const NSObject* a, const NSObject* b) {
        return (a->*comparator)(b) == NSOrderedAscending;
    };
    // Small arrays, the usual case, sort in place without a buffer.
    if (count <= kRun) {
        for (size_t i = 1; i < count; ++i)
            for (size_t j = i; j > 0 && less(objects_[j].get(), objects_[j - 1].get()); --j)
                std::swap(objects_[j], objects_[j - 1]);
        return;
    }

    // Larger ones: runs sorted by insertion, then merged bottom-up, over
    // positions, so that the elements move once at the end.
    std::vector<size_t> order(count), merged(count);
    std::iota(order.begin(), order.end(), size_t(0));
    auto at = [this](size_t position) { return objects_[position].get(); };
    for (size_t start = 0; start < count; start += kRun) {
        size_t end = std::min(start + kRun, count);
        for (size_t i = start + 1; i < end; ++i)
            for (size_t j = i; j > start && less(at(order[j]), at(order[j - 1])); --j)
                std::swap(order[j], order[j - 1]);
    }
    for (size_t width = kRun; width < count; width *= 2) {
        for (size_t start = 0; start < count; start += 2 * width) {
            size_t middle = std::min(start + width, count), end = std::min(start + 2 * width, count);
            size_t left = start, right = middle, out = start;
            while (left < middle && right < end)
                merged[out++] = less(at(order[right]), at(order[left])) ? order[right++] : order[left++];
            while (left < middle)
                merged[out++] = order[left++];
            while (right < end)
                merged[out++] = order[right++];
        }
        order.swap(merged);
    }
    std::vector<Ref<NSObject>> sorted;
    sorted.reserve(count);
    for (size_t position : order)
        sorted.push_back(std::move(objects_[position]));
    objects_ = std::move(sorted);
}

NSObject* NSEnumerator::nextObject() noexcept
{
    NSObject* object = array_->objectAtIndex(next_);
    if (object)
        ++next_;
    return object;
}
