// Umbrella header: every public class and type of kwcore.
#pragma once

#include <kwcore/CkwCheckLinkInfo.h>
#include <kwcore/CkwDiscTemplateSettings.h>
#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObject.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/CkwServiceObjectList.h>
#include <kwcore/CkwStrList.h>
#include <kwcore/CkwUpdateLinkInfo.h>
#include <kwcore/Nubra.h>
#include <kwcore/kwComponent.h>
#include <kwcore/kwDiagnostics.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwLazyBinding.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwWinApi.h>
#include <kwcore/kwWinTypes.h>
