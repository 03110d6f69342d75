#include "Foundation/NSArray.h"
#include "Foundation/NSString.h"

#include <algorithm>

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
    // Stable, and safe with a comparison that is not a strict order. Small
    // arrays, the usual case, sort in place without a buffer.
    auto less = [comparator](const Ref<NSObject>& a, const Ref<NSObject>& b) {
        return (a.get()->*comparator)(b.get()) == NSOrderedAscending;
    };
    if (objects_.size() > 16) {
        std::stable_sort(objects_.begin(), objects_.end(), less);
        return;
    }
    for (size_t i = 1; i < objects_.size(); ++i)
        for (size_t j = i; j > 0 && less(objects_[j], objects_[j - 1]); --j)
            std::swap(objects_[j], objects_[j - 1]);
}

NSObject* NSEnumerator::nextObject() noexcept
{
    NSObject* object = array_->objectAtIndex(next_);
    if (object)
        ++next_;
    return object;
}
