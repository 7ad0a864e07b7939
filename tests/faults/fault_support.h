// Helpers of the fault tests: the CPU and wall time of a wait, and programs run as processes.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

// Wall-clock and CPU time (user + system) of this process from construction on. The CPU time
// covers every thread, the in-process simulator's included.
class CWaitMeter {
public:
    CWaitMeter();
    double WallSeconds() const;
    double CpuSeconds() const;

    // CPU seconds of the whole process so far.
    static double ProcessCpuSeconds();

private:
    std::chrono::steady_clock::time_point m_start;
    double m_cpuStart;
};

// What a program run as a child process left behind.
struct ProcessResult {
    bool exited = false; // ended by exit (not by a signal, not killed by the guard)
    int status = -1;     // its exit status when exited
    int signal = 0;      // the signal that ended it otherwise
    bool killed = false; // killed by the guard time
    double wallSeconds = 0;
    double cpuSeconds = 0; // user + system of the child
    std::string out;
    std::string err;
};

// A child process with standard input from a text and standard output and error on pipes.
class CChildProcess {
public:
    // Starts program with args (args[0] is the program's name for itself).
    CChildProcess(const std::string& program, const std::vector<std::string>& args,
                  const std::string& input = "");
    ~CChildProcess(); // kills the child if it still runs
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    // Reads its output until it ends and collects it; kills it after guardSeconds.
    ProcessResult Finish(double guardSeconds);
    // The first line of standard output (without its line end), waiting up to guardSeconds.
    std::string FirstLine(double guardSeconds);
    // Waits up to guardSeconds until standard output holds count lines; true when it does.
    bool WaitForLines(std::size_t count, double guardSeconds);
    void Signal(int signal);

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outText;
    std::chrono::steady_clock::time_point m_start;
};

// Runs a program to its end (see CChildProcess::Finish).
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input = "", double guardSeconds = 60);

// The lines of a text, without their line ends; a last line without an end counts too.
std::vector<std::string> SplitLines(const std::string& text);
