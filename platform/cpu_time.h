// CPU time consumed, for benchmarks and the soak run.
#pragma once

namespace t42rm {

double ProcessCpuSeconds();  // all threads of this process
double ThreadCpuSeconds();   // the calling thread

}  // namespace t42rm
