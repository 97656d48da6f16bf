// Umbrella header: every public class and type of kwcore.
#pragma once

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/Nubra.h>
#include <kwcore/kwComponent.h>
#include <kwcore/kwDiagnostics.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwWinTypes.h>
