// The SCPI engine against a module fake: what each line answers, which errors it queues and
// exactly which module calls it makes (a refused command makes none).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_remote_module.h"
#include "morvane_version.h"
#include "remote.h"

namespace {

enum class Fault { None, Set, Clocks, Version, Init, Probe };

struct Case {
    const char* name;
    std::vector<const char*> setup; // lines run first; their calls and errors are forgotten
    const char* line;
    const char* response; // nullptr: no response
    std::vector<int> errors;
    std::vector<std::string> calls;
    Fault fault = Fault::None;
};

// Channel 1 on at 1 MHz, amplitude 50 %, phase 0, the clock known.
const std::vector<const char*> ON = {"SOUR1:FREQ 1MHZ", "OUTP1 ON", "SOUR1:AMPL 50"};

const Case CASES[] = {
    // Headers: short and long forms, any case, suffixes, optional nodes.
    {"idn", {}, "*IDN?", "Halvorn,QM-TRV,0,1.2/" MORVANE_VERSION, {}, {"version"}},
    {"long_form", {}, "source1:frequency?", "0", {}, {}},
    {"mixed_case_short", {}, "sOuR1:fReQ?", "0", {}, {}},
    {"no_suffix_is_1", {"SOUR1:PHAS 12"}, "SOUR:PHAS?", "12", {}, {}},
    {"leading_colon", {}, ":OUTP3:STAT?", "0", {}, {}},
    {"optional_node_left_out", {}, "OUTP3?", "0", {}, {}},
    {"error_next", {}, "SYST:ERR:NEXT?", "0,\"No error\"", {}, {}},
    {"opc", {}, "*OPC?", "1", {}, {}},
    {"several_queries", {}, "*OPC?;SYST:MODE?;OUTP12?", "1;SING;0", {}, {}},
    {"partial_keyword", {}, "SOURC1:FREQ?", nullptr, {-113}, {}},
    {"channel_13", {}, "SOUR13:FREQ 1MHZ", nullptr, {-113}, {}},
    {"channel_0", {}, "OUTP0 ON", nullptr, {-113}, {}},
    {"huge_suffix", {}, "OUTP99999999999999 ON", nullptr, {-113}, {}},
    {"suffix_where_none", {}, "SYST1:MODE?", nullptr, {-113}, {}},
    {"unknown", {}, "BOGUS", nullptr, {-113}, {}},
    {"query_only_as_set", {}, "SYST:CLOC", nullptr, {-113}, {}},
    {"unknown_common", {}, "*TRG", nullptr, {-113}, {}},
    {"query_only_common_as_set", {}, "*ESR", nullptr, {-113}, {}},
    {"set_only_common_as_query", {}, "*WAI?", nullptr, {-113}, {}},
    {"mask_missing", {}, "*ESE", nullptr, {-100}, {}},
    {"mask_not_a_number", {}, "*SRE twelve", nullptr, {-100}, {}},
    {"mask_range", {}, "*ESE 256", nullptr, {-222}, {}},
    {"mask_hex_range", {}, "STAT:OPER:ENAB #H10000", nullptr, {-222}, {}},
    {"mask_forms", {}, "*ESE #H21;*ESE?;*ESE 31.6;*ESE?;*ESE #B11;*ESE?", "33;32;3", {}, {}},
    {"sre_ignores_bit_6", {}, "*SRE 255;*SRE?", "191", {}, {}},
    {"enable_bit_15", {}, "STAT:QUES:ENAB 65535;ENAB?", "32767", {}, {}},
    {"version", {}, "SYST:VERS?", "1999.0", {}, {}},
    {"opc_wai", {}, "*OPC?;*WAI;*OPC?", "1;1", {}, {}},
    {"tst_passes", {}, "*TST?", "0", {}, {"probe"}},
    {"malformed_header", {}, "SOUR1::FREQ 5", nullptr, {-100}, {}},
    {"missing_parameter", {}, "SOUR1:FREQ", nullptr, {-100}, {}},
    {"parameter_on_query", {}, "SOUR1:FREQ? 5", nullptr, {-100}, {}},
    {"empty_parameter", {}, "SOUR1:APPL 1,,2", nullptr, {-100}, {}},
    {"empty_parameter_keeps_answers", {}, "*OPC?;SOUR1:FREQ 1,;*OPC?", "1", {-100}, {}},
    {"not_a_number", {}, "SOUR1:FREQ abc", nullptr, {-100}, {}},
    {"wrong_unit", {}, "SOUR1:AMPL 5 V", nullptr, {-100}, {}},
    {"nan", {}, "SOUR1:PHAS nan", nullptr, {-100}, {}},
    // The compound rule: a header without ":" continues the path of the one before it; when
    // it makes no sense there it is read from the root.
    {"compound_path", {}, "SOUR2:FREQ 2 kHz;PHAS 45;FREQ?;PHAS?", "2000;45", {}, {"clocks"}},
    {"compound_from_root",
     {},
     "SOUR2:FREQ 2e3;SOUR3:FREQ 3e3;SOUR2:FREQ?;SOUR3:FREQ?",
     "2000;3000",
     {},
     {"clocks"}},
    {"line_ends_at_error", {}, "*OPC?;BOGUS;*OPC?", "1", {-113}, {}},
    {"crlf_and_blanks", {}, "  *OPC? ;; \r", "1", {}, {}},
    // Kept values: off, a setting is kept and not sent; ON sends them; OFF sends the off.
    {"off_setting_kept",
     {},
     "SOUR1:FREQ 1.5MHZ;AMPL 20PCT;PHAS -90DEG;:SOUR1:APPL?",
     "1500000,20,270",
     {},
     {"clocks"}},
    {"on_without_frequency", {}, "OUTP1 ON", nullptr, {-221}, {}},
    {"on_sends_kept",
     {"SOUR1:FREQ 1MHZ", "SOUR1:AMPL 25"},
     "OUTP1 1;OUTP1?",
     "1",
     {},
     {"set 0 1000000 0 0.25 1"}},
    {"on_setting_sent", ON, "SOUR1:PHAS 450", nullptr, {}, {"set 0 1000000 90 0.5 1"}},
    {"off_sends_off",
     ON,
     "OUTP1:STAT OFF;:OUTP1?;:SOUR1:FREQ?",
     "0;1000000",
     {},
     {"set 0 0 0 0.5 1"}},
    {"apply_one_command", ON, "SOUR1:APPL 2MHZ,25,45", nullptr, {}, {"set 0 2000000 45 0.25 1"}},
    {"multiple_mode",
     ON,
     "SYST:MODE MULTIPLE;:SOUR1:FREQ 3e6;:SYST:UPD;MODE?",
     "MULT",
     {},
     {"set 0 3000000 0 0.5 0", "update"}},
    // Range and value errors: nothing reaches the module, the kept values stay.
    {"amplitude_range", ON, "SOUR1:AMPL 150;:SOUR1:AMPL?", nullptr, {-222}, {}},
    {"frequency_half_clock", ON, "SOUR1:FREQ 50MHZ", nullptr, {-222}, {}},
    {"frequency_zero", ON, "SOUR1:FREQ 0", nullptr, {-222}, {}},
    {"frequency_negative", ON, "SOUR1:FREQ -5", nullptr, {-222}, {}},
    // One DDS step (100 MHz / 2^32, 0.0233 Hz) is the lowest frequency: below it the word is 0
    // or a step that is not what was asked, on a channel on or off.
    {"frequency_below_step", ON, "SOUR1:FREQ 0.02", nullptr, {-222}, {}},
    {"frequency_below_step_off", {}, "SOUR2:APPL 0.001,50,0", nullptr, {-222}, {"clocks"}},
    {"frequency_one_step", {}, "SOUR2:FREQ 0.0233;FREQ?", "0.0233", {}, {"clocks"}},
    {"apply_bad_amplitude", ON, "SOUR1:APPL 2MHZ,250,45", nullptr, {-222}, {}},
    {"output_word", ON, "OUTP1 MAYBE", nullptr, {-224}, {}},
    {"mode_word", {}, "SYST:MODE SINGULAR", nullptr, {-224}, {}},
    {"init_range", {}, "SYST:INIT 9", nullptr, {-222}, {}},
    {"init_fraction", {}, "SYST:INIT 2.5", nullptr, {-224}, {}},
    // Initialise: the kept values become the table's (10 MHz, on, amplitude 0).
    {"rst", ON, "*RST;SOUR1:FREQ?;AMPL?;:OUTP1?", "10000000;0;1", {}, {"init 2"}},
    {"init_mode_kept_for_rst", {"SYST:INIT 5"}, "*RST", nullptr, {}, {"init 5"}},
    {"clock_read_once",
     {},
     "SYST:CLOC?;CLOC?",
     "10000000,100000000,100000000;"
     "10000000,100000000,100000000",
     {},
     {"clocks"}},
    // The module fails: -240, and no answer for a failed query.
    {"set_no_reply", ON, "SOUR1:FREQ 2MHZ", nullptr, {-240}, {"set 0 2000000 0 0.5 1"}, Fault::Set},
    {"clocks_no_reply", {}, "SOUR1:FREQ 2MHZ", nullptr, {-240}, {"clocks"}, Fault::Clocks},
    {"version_no_reply", {}, "*IDN?", nullptr, {-240}, {"version"}, Fault::Version},
    {"init_no_reply", ON, "*RST;:SOUR1:FREQ?", nullptr, {-240}, {"init 2"}, Fault::Init},
    {"tst_fails", {}, "*TST?;*OPC?", "1;1", {-330}, {"probe"}, Fault::Probe},
};

class RemoteEngineCase : public testing::TestWithParam<Case> {};

TEST_P(RemoteEngineCase, AnswersQueuesAndCalls) {
    const Case& c = GetParam();
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteSession session;
    std::string response;
    for (const char* line : c.setup) {
        engine.ExecuteLine(line, session, &response);
    }
    ASSERT_EQ(session.ErrorCount(), 0u) << session.PopError();
    module.calls.clear();
    module.failSet = c.fault == Fault::Set;
    module.failClocks = c.fault == Fault::Clocks;
    module.failVersion = c.fault == Fault::Version;
    module.failInit = c.fault == Fault::Init;
    module.failProbe = c.fault == Fault::Probe;

    response = "unchanged";
    const bool answered = engine.ExecuteLine(c.line, session, &response);
    if (c.response) {
        EXPECT_TRUE(answered);
        EXPECT_EQ(response, c.response);
    } else {
        EXPECT_FALSE(answered) << response;
    }
    std::vector<int> errors;
    for (const RemoteError& e : session.Errors()) {
        errors.push_back(e.code);
    }
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(module.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(Lines, RemoteEngineCase, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

// Status reporting over several lines: each step is a line and its answer (nullptr: none), or
// "!" and what changes: a module fault on or off, or the connection the next lines come from.
struct StatusScript {
    const char* name;
    std::vector<std::pair<const char*, const char*>> steps;
};

const StatusScript STATUS_SCRIPTS[] = {
    {"esr_classes_and_power_on",
     {{"*ESR?", "128"},
      {"*ESR?", "0"},
      {"BOGUS", nullptr},
      {"SOUR1:AMPL 150", nullptr},
      {"*ESR?", "48"},
      {"*OPC;*ESR?", "1"}}},
    {"status_byte",
     {{"*STB?", "0"},
      {"BOGUS", nullptr},
      {"*STB?", "4"},
      {"*ESE 32;*STB?", "36"},
      {"*SRE 32;*STB?", "100"},
      {"*CLS;*STB?;*ESE?;*SRE?", "0;32;32"},
      {"SYST:ERR?", "0,\"No error\""}}},
    {"questionable_no_answer",
     {{"STAT:QUES:ENAB 512;*SRE 8", nullptr},
      {"!failSet", nullptr},
      {"SOUR1:FREQ 1MHZ;:OUTP1 ON", nullptr},
      {"STAT:QUES:COND?;*STB?", "512;76"},
      {"STAT:QUES?;*STB?", "512;4"},
      {"STAT:QUES:EVEN?", "0"},
      {"!okSet", nullptr},
      {"OUTP1 ON;:STAT:QUES:COND?;EVEN?", "0;0"}}},
    {"questionable_probe_and_line",
     {{"!failProbe", nullptr},
      {"*TST?;STAT:QUES:COND?", "1;512"},
      {"!lineGone", nullptr},
      {"STAT:QUES:COND?", "1536"},
      {"!okProbe", nullptr},
      {"!lineBack", nullptr},
      {"*TST?;STAT:QUES:COND?;EVEN?", "0;0;1536"}}},
    // A rise and fall of a condition between two lines of a connection still reaches its
    // events; a connection that starts while a condition holds sees it as risen.
    {"events_of_other_connections",
     {{"*OPC?", "1"},
      {"!session2", nullptr},
      {"!failSet", nullptr},
      {"SOUR1:FREQ 1MHZ;:OUTP1 ON", nullptr},
      {"!okSet", nullptr},
      {"OUTP1 ON;:STAT:QUES?", "512"},
      {"!session1", nullptr},
      {"STAT:QUES?;QUES:COND?;:STAT:OPER?", "512;0;256"},
      {"!lineGone", nullptr},
      {"!session3", nullptr},
      {"STAT:QUES?", "1024"}}},
    {"operation",
     {{"STAT:OPER:COND?", "0"},
      {"SOUR1:FREQ 1MHZ;:OUTP1 ON;:STAT:OPER:COND?", "256"},
      {"SYST:MODE MULT;:SOUR1:FREQ 2MHZ;:STAT:OPER:COND?", "768"},
      {"STAT:OPER:ENAB 512;*STB?", "128"},
      {"SYST:UPD;:STAT:OPER:COND?;EVEN?;*STB?", "256;768;0"},
      {"STAT:PRES;:STAT:OPER:ENAB?;:STAT:QUES:ENAB?", "0;0"}}},
};

class RemoteStatusScript : public testing::TestWithParam<StatusScript> {};

TEST_P(RemoteStatusScript, AnswersInOrder) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteSession sessions[3];
    CRemoteSession* session = &sessions[0];
    for (const auto& [line, expected] : GetParam().steps) {
        const std::string_view text = line;
        if (text.front() == '!') {
            const std::string_view what = text.substr(1);
            module.failSet = what == "failSet" || (module.failSet && what != "okSet");
            module.failProbe = what == "failProbe" || (module.failProbe && what != "okProbe");
            module.lineGone = what == "lineGone" || (module.lineGone && what != "lineBack");
            if (what.substr(0, 7) == "session") {
                session = &sessions[what[7] - '1'];
            }
            continue;
        }
        std::string response;
        const bool answered = engine.ExecuteLine(line, *session, &response);
        EXPECT_EQ(answered, expected != nullptr) << line << ": " << response;
        if (answered && expected) {
            EXPECT_EQ(response, expected) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, RemoteStatusScript, testing::ValuesIn(STATUS_SCRIPTS),
                         [](const testing::TestParamInfo<StatusScript>& info) {
                             return std::string(info.param.name);
                         });

// *SAV and *RCL: each step is a line, its answer (nullptr: none), the errors it queues and the
// module calls it makes.
TEST(RemoteEngine, SavedSetupsComeBackAsTheyWere) {
    struct Step {
        const char* line;
        const char* response;
        std::vector<int> errors;
        std::vector<std::string> calls;
    };
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CFakeSetupStore store;
    CRemoteSession session;
    const Step noStore[] = {{"*SAV 1", nullptr, {-250}, {}}};
    const Step steps[] = {
        {"*SAV 10", nullptr, {-222}, {}},
        {"*RCL 1.5", nullptr, {-224}, {}},
        {"*RCL 2", nullptr, {-256}, {}},
        {"SOUR1:FREQ 1MHZ;:OUTP1 ON;:SOUR2:APPL 2MHZ,30,45;*SAV 3",
         nullptr,
         {},
         {"clocks", "set 0 1000000 0 0 1"}},
        {"OUTP1 OFF;:SOUR2:FREQ 5MHZ;:SYST:MODE MULT", nullptr, {}, {"set 0 0 0 0 1"}},
        // Channel 1 on again, channel 2's kept values back, nothing else sent.
        {"*RCL 3;:SOUR2:APPL?;:SYST:MODE?;:OUTP1?",
         "2000000,30,45;SING;1",
         {},
         {"set 0 1000000 0 0 1"}},
        // In multiple mode the changes are sent, then the update; an output that is on and off
        // in the setup is sent off.
        {"SYST:MODE MULT;*SAV 4;:OUTP2 ON", nullptr, {}, {"set 1 2000000 45 0.3 0"}},
        {"*RCL 4", nullptr, {}, {"set 0 1000000 0 0 0", "set 1 0 45 0.3 0", "update"}},
    };
    auto run = [&](const Step& step) {
        SCOPED_TRACE(step.line);
        session.Clear();
        module.calls.clear();
        std::string response;
        const bool answered = engine.ExecuteLine(step.line, session, &response);
        EXPECT_EQ(answered, step.response != nullptr) << response;
        if (answered && step.response) {
            EXPECT_EQ(response, step.response);
        }
        std::vector<int> errors;
        for (const RemoteError& e : session.Errors()) {
            errors.push_back(e.code);
        }
        EXPECT_EQ(errors, step.errors);
        EXPECT_EQ(module.calls, step.calls);
    };
    run(noStore[0]);
    engine.SetSetupStore(&store);
    for (const Step& step : steps) {
        run(step);
    }
    // A setup that cannot be sent (a frequency below one step, as an edited file may hold)
    // sends nothing; a store that fails says so.
    store.setups[5] = store.setups[3];
    store.setups[5].channels[11] = {0.001, 0, 0.5, true};
    run({"*RCL 5", nullptr, {-222}, {}});
    store.fail = true;
    run({"*SAV 6", nullptr, {-250}, {}});
    run({"*RCL 3", nullptr, {-250}, {}});
}

TEST(RemoteEngine, RangeErrorNamesValueAndLimit) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteSession session;
    engine.ExecuteLine("SOUR1:FREQ 60 MHz", session, nullptr);
    engine.ExecuteLine("SOUR1:AMPL 150", session, nullptr);
    EXPECT_EQ(session.PopError(), "-222,\"Data out of range; frequency 60000000 Hz is not below "
                                  "half the DDS clock (50000000 Hz)\"");
    EXPECT_EQ(session.PopError(),
              "-222,\"Data out of range; amplitude 150 % is outside 0 to 100\"");
    EXPECT_EQ(session.PopError(), "0,\"No error\"");
}

// A channel the host opened without a reset is unknown: every query of it is an error, not
// the table's guess, until the channel has been sent; other channels answer as before.
TEST(RemoteEngine, UnknownChannelsAreQueriedAsErrorsUntilSent) {
    CFakeRemoteModule module;
    module.known[2] = false;
    CRemoteEngine engine(module);
    CRemoteSession session;
    std::string response;
    for (const char* query :
         {"SOUR3:FREQ?", "SOUR3:AMPL?", "SOUR3:PHAS?", "SOUR3:APPL?", "OUTP3?"}) {
        SCOPED_TRACE(query);
        EXPECT_FALSE(engine.ExecuteLine(query, session, &response));
        ASSERT_EQ(session.ErrorCount(), 1u);
        EXPECT_EQ(session.Errors().front().code, -230);
        session.Clear();
    }
    EXPECT_TRUE(engine.ExecuteLine("OUTP2?", session, &response));
    EXPECT_EQ(response, "0");
    // A setting of the off channel is kept, not sent: still unknown. OUTPut sends it.
    EXPECT_FALSE(engine.ExecuteLine("SOUR3:APPL 1MHZ,50,0;:SOUR3:FREQ?", session, &response));
    EXPECT_EQ(session.ErrorCount(), 1u);
    session.Clear();
    EXPECT_TRUE(engine.ExecuteLine("OUTP3 ON;:SOUR3:FREQ?;:OUTP3?", session, &response));
    EXPECT_EQ(response, "1000000;1");
    EXPECT_EQ(session.ErrorCount(), 0u);
}

TEST(RemoteEngine, RefusedSetLeavesTheKeptValues) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteSession session;
    for (const char* line : ON) {
        engine.ExecuteLine(line, session, nullptr);
    }
    module.refuseSet = true;
    engine.ExecuteLine("SOUR1:APPL 2MHZ,20,30", session, nullptr);
    ASSERT_EQ(session.ErrorCount(), 1u);
    EXPECT_EQ(session.Errors().front().code, -222);
    std::string response;
    engine.ExecuteLine("SOUR1:APPL?", session, &response);
    EXPECT_EQ(response, "1000000,50,0");
}

TEST(RemoteEngine, ClientTextInErrorsCannotBreakTheReply) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteSession session;
    engine.ExecuteLine(std::string("SOUR1:FREQ \"x\n\0y", 17), session, nullptr);
    const std::string e = session.PopError();
    EXPECT_EQ(e.find('\n'), std::string::npos);
    EXPECT_EQ(e.find('\0'), std::string::npos);
    EXPECT_EQ(std::count(e.begin(), e.end(), '"'), 2) << e;
}

TEST(RemoteEngine, QueueHolds16AndMarksOverflow) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteSession session;
    for (int i = 0; i < 20; ++i) {
        engine.ExecuteLine("BOGUS", session, nullptr);
    }
    ASSERT_EQ(session.ErrorCount(), REMOTE_ERROR_QUEUE);
    EXPECT_EQ(session.Errors().front().code, -113);
    EXPECT_EQ(session.Errors().back().code, -350);
    EXPECT_EQ(session.Errors()[14].code, -113);
    EXPECT_EQ(session.Esr(), REMOTE_ESR_PON | REMOTE_ESR_CME | REMOTE_ESR_DDE);
    std::string response;
    engine.ExecuteLine("*CLS;SYST:ERR?", session, &response);
    EXPECT_EQ(response, "0,\"No error\"");
}

TEST(RemoteEngine, ErrorQueuesArePerConnectionAndChannelsPerServer) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    CRemoteSession a, b;
    std::string response;
    engine.ExecuteLine("BOGUS", a, nullptr);
    engine.ExecuteLine("SOUR4:FREQ 4e6", b, nullptr);
    EXPECT_EQ(a.ErrorCount(), 1u);
    EXPECT_EQ(b.ErrorCount(), 0u);
    engine.ExecuteLine("SOUR4:FREQ?", a, &response);
    EXPECT_EQ(response, "4000000");
}

TEST(RemoteEngine, FollowsTheTableAfterTheHostsOwnCommands) {
    CFakeRemoteModule module;
    CRemoteEngine engine(module);
    module.table[5] = {1, 7e6, 30.0, 0.75};
    engine.FollowTable();
    CRemoteSession session;
    std::string response;
    engine.ExecuteLine("SOUR6:APPL?;:OUTP6?", session, &response);
    EXPECT_EQ(response, "7000000,75,30;1");
}

} // namespace
