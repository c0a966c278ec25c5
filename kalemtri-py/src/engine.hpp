#pragma once
// The engine's namespaces by the short names the bindings use.
namespace kalemtri {
namespace fitting {}
namespace icp {}
namespace kernels {}
namespace pool {}
namespace storage {}
namespace tree {}
namespace tuning {}
} // namespace kalemtri

namespace kpy {
namespace fitting = kalemtri::fitting;
namespace icp = kalemtri::icp;
namespace kernels = kalemtri::kernels;
namespace pool = kalemtri::pool;
namespace storage = kalemtri::storage;
namespace tree = kalemtri::tree;
namespace tuning = kalemtri::tuning;
} // namespace kpy
