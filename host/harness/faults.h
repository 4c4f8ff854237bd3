// Breaches of the host contract that the stand-in host notices while the
// module runs (an unknown control, a handle released twice, ...). Tests read
// them; a host that only printed them would let such faults pass.
#pragma once

#include <string>
#include <vector>

namespace qelhost {

class FaultLog {
public:
    void add(std::string fault);
    const std::vector<std::string>& list() const { return m_faults; }
    bool empty() const { return m_faults.empty(); }
    void clear() { m_faults.clear(); }

private:
    std::vector<std::string> m_faults;
};

}  // namespace qelhost
