#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"

Ref<NSNumber> NSNumber::numberWithInt(int value)
{
    // Numbers are immutable, so small ones are shared rather than allocated
    // each time; the table holds its own reference to each for good.
    constexpr int kSmallest = -128, kLargest = 127;
    static NSNumber* const* small = [] {
        static NSNumber* table[kLargest - kSmallest + 1];
        for (int n = kSmallest; n <= kLargest; ++n)
            table[n - kSmallest] = new NSNumber(n);
        return table;
    }();
    if (value >= kSmallest && value <= kLargest)
        return retainRef(small[value - kSmallest]);
    return adoptRef(new NSNumber(value));
}

bool NSNumber::isEqual(const NSObject* other) const noexcept
{
    auto* number = dynamic_cast<const NSNumber*>(other);
    return number && number->value_ == value_;
}

NSComparisonResult NSNumber::compare(const NSObject* other) const noexcept
{
    int theirs = other ? other->intValue() : 0;
    return value_ < theirs ? NSOrderedAscending : value_ > theirs ? NSOrderedDescending : NSOrderedSame;
}

Ref<NSString> NSNumber::description() const
{
    return NSString::stringWithFormat("%d", value_);
}
