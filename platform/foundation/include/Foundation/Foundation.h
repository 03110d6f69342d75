// The Foundation-style object layer: reference-counted objects and the
// collections, strings and numbers built on them.
#pragma once

#include "Foundation/NSArray.h"
#include "Foundation/NSAutoreleasePool.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "Foundation/Ref.h"
