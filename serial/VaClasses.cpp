#include "VaClasses.h"
#include "Exception.h"

#include <string>

void TVaPersistent::InvalidAssignment(const char* Source, const char* Target) {
    throw Exception(std::string("Cannot assign a ") + Source + " to a " + Target);
}
