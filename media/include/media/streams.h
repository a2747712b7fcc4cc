// The filter framework in one include: types, interfaces, samples, pins, filters, sources, transforms,
// renderers and the reference clock.
#pragma once

#include "media/clock.h"
#include "media/clsids.h"
#include "media/filter.h"
#include "media/interfaces.h"
#include "media/pins.h"
#include "media/renderer.h"
#include "media/sample.h"
#include "media/source.h"
#include "media/transform.h"
#include "media/types.h"
