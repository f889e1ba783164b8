// Places a constant into the module file as resource TYPE number N (see module_resources.h):
//   VANTO_RESOURCE(TYPELIB, 1) const char kTypeLib[] = "...";
#pragma once

#define VANTO_RESOURCE(type, number) __attribute__((section(".vanto_rsrc." #type "." #number), used))
