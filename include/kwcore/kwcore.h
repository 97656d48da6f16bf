// Umbrella header: every public class and type of kwcore.
#pragma once

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwComponent.h>
#include <kwcore/kwDiagnostics.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>
