#pragma once

namespace testsupport {

// The number of descriptors this process has open.
int CountOpenDescriptors();

} // namespace testsupport
