// Runs a command as if its file system lacked a feature, for what no file
// system on a test machine is short of: a seccomp filter fails the chosen
// system calls with the error such a file system gives.
//   refuse-calls --no-exchange|--no-attributes COMMAND [ARGUMENT...]
// --no-exchange     a rename with flags (swap, no-replace) fails with EINVAL,
//                   as on file systems that know neither, such as FUSE or NFS
// --no-attributes   setting an extended attribute fails with EOPNOTSUPP

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

#if defined(__x86_64__)
const unsigned kArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
const unsigned kArchitecture = AUDIT_ARCH_AARCH64;
#else
#error "refuse-calls knows the system call numbers of x86-64 and AArch64 only"
#endif

const unsigned kAllow = SECCOMP_RET_ALLOW;

sock_filter statement(unsigned short code, unsigned value)
{
    return BPF_STMT(code, value);
}

sock_filter jump(unsigned short code, unsigned value, unsigned char ifTrue, unsigned char ifFalse)
{
    return BPF_JUMP(code, value, ifTrue, ifFalse);
}

// The low half of argument 4 holds renameat2's flags on both architectures.
std::vector<sock_filter> filterFor(bool exchange)
{
    const unsigned number = exchange ? SYS_renameat2 : SYS_fsetxattr;
    const unsigned refusal = SECCOMP_RET_ERRNO | (exchange ? EINVAL : EOPNOTSUPP);
    // Calls of another architecture's numbering are not judged.
    std::vector<sock_filter> program{
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0),
        statement(BPF_RET | BPF_K, kAllow),
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        jump(BPF_JMP | BPF_JEQ | BPF_K, number, 1, 0),
        statement(BPF_RET | BPF_K, kAllow),
    };
    if (exchange) {
        // A plain rename has no flags and goes through.
        program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args) + 4 * sizeof(__u64)));
        program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1));
        program.push_back(statement(BPF_RET | BPF_K, kAllow));
    }
    program.push_back(statement(BPF_RET | BPF_K, refusal));
    return program;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool exchange = argc > 2 && std::strcmp(argv[1], "--no-exchange") == 0;
    if (argc < 3 || (!exchange && std::strcmp(argv[1], "--no-attributes") != 0)) {
        std::fprintf(stderr, "usage: refuse-calls --no-exchange|--no-attributes COMMAND [ARGUMENT...]\n");
        return 2;
    }
    std::vector<sock_filter> program = filterFor(exchange);
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) != 0) {
        std::fprintf(stderr, "refuse-calls: cannot install the filter: %s\n", std::strerror(errno));
        return 2;
    }
    ::execvp(argv[2], argv + 2);
    std::fprintf(stderr, "refuse-calls: cannot run %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}
