// How AddHandler finds the class of a handler word that names a component
// object (a ProgID). The component-object layer installs the resolver at
// start-up; without one every ProgID is unknown and its AddHandler line is
// dropped.
#pragma once
#include "platform/automation/unknown.h"

#include <functional>
#include <string>

using progid_resolver = std::function<bool(const std::wstring& progid, automation::guid& class_id)>;
void set_progid_resolver(progid_resolver resolver);
