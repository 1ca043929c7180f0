#include "tolm/zObject.h"

zObject::~zObject() = default;

zSharedObject::~zSharedObject() = default;
