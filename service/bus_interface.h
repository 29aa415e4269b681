#pragma once

// The service's interface on the system bus, as written down in
// service/com.dovetra.TavrinClient1.xml, against which its clients are built: its names,
// its polkit actions, and the file itself, which introspection hands out.

#include <string_view>

namespace service {

inline constexpr char kBusName[] = "com.dovetra.TavrinClient1";
inline constexpr char kBusPath[] = "/com/dovetra/TavrinClient1";
inline constexpr char kBusInterface[] = "com.dovetra.TavrinClient1";
inline constexpr char kUpdateAction[] = "com.dovetra.TavrinClient1.update";
inline constexpr char kSetServerAction[] = "com.dovetra.TavrinClient1.set-server";
// SetServer's error when a later drop-in sets the server, which a new one would not override.
inline constexpr char kServerOverriddenError[] = "com.dovetra.TavrinClient1.Error.ServerOverridden";

// The file as the build found it.
std::string_view BusInterfaceXml();
// Its <interface> element, comments and all, for the introspection of the object.
std::string_view BusInterfaceElement();

} // namespace service
