// Hands the Webserver object's files, mutexes, events, images, loggers, hash
// lists, mail and server lists to the script objects that make them.
#pragma once
#include "platform/automation/dispatch.h"

namespace scripting {

class webserver_object;

// Installs the members (and registers the mail component's class) once at
// start-up, before the first page runs.
void install_webserver_members();

// Connects the events of an object a page created to the page's functions.
automation::hresult connect_created_object(webserver_object& ws, automation::idispatch_i* obj,
                                           const automation::variant& param);

} // namespace scripting
