// ntddk.h of the hosted build: everything a WDM driver needs is in wdm.h.
#pragma once

#include <wdm.h>
