// Opens CkwObjectFactory's protected operations to tests.
#pragma once

#include <kwcore/CkwObjectFactory.h>

struct kwFactoryProbe : CkwObjectFactory {
  using CkwObjectFactory::kwCombineRegistrationFileName;
  using CkwObjectFactory::kwConvertToString;
  using CkwObjectFactory::kwGetDefaultRegistrationFileName;
  using CkwObjectFactory::kwGetProgramPath;
  using CkwObjectFactory::kwSearchComponentPath;
  using CkwObjectFactory::kwSearchComponentPathWithinRegistrationFile;
};
