// Umbrella header of the automation runtime: strings, variants, safe arrays and
// error information. None of these functions is exported from libZentrel.so;
// in-process users link the static runtime `zentrel_core`.
#pragma once

#include "interop/vocabulary.h"

#include "automation/strings/bstr.h"
#include "automation/strings/guid_text.h"
#include "automation/strings/utf8.h"

#include "automation/variant/accessors.h"
#include "automation/variant/compare.h"
#include "automation/variant/convert.h"
#include "automation/variant/lifecycle.h"

#include "automation/safearray/bytevector.h"
#include "automation/safearray/create.h"
#include "automation/safearray/data.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/element.h"
#include "automation/safearray/noop.h"
#include "automation/safearray/rawdata.h"
#include "automation/safearray/resize.h"
#include "automation/safearray/safearray.h"

#include "automation/errorinfo/errorinfo.h"
