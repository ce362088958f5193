// The configuration check of the field tools: the mistakes people make in an options text, each
// with the finding that says what the plug-in will do with it, and texts that are right as they
// are and get no finding at all.
#include "common/config_check.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zol::tools {
namespace {

std::vector<std::string> Lines(std::string_view text,
                               kmp::KmpCatalogue catalogue = kmp::KmpCatalogue::kHeat) {
    std::vector<std::string> out;
    for (const auto& finding : CheckOptionsText(text, catalogue))
        out.push_back(FindingLine(finding));
    return out;
}

// One request "Heat" on lines 2 to n; its body starts on line 3.
std::string Site(const std::string& body) {
    return "<QUERY>\n<Request caption=\"Heat\">\n" + body + "\n</Request>\n</QUERY>\n";
}

const std::string kRead = "<Response><Item><Register>003C</Register></Item></Response>";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ConfigCheck, EachMistakeIsNamedWithWhatThePluginDoesWithIt) {
    const struct {
        const char* name;
        std::string text;
        kmp::KmpCatalogue catalogue;
        std::vector<std::string> findings;
    } cases[] = {
        {"misspelt Device",
         Site("<Devise>63</Devise>\n" + kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 3: Devise is not an element the plug-in reads (did you mean "
          "Device?): without Device, address 1 is asked"}},
        {"misspelt Timeout, end tag spelt right",
         Site("<Device>63</Device>\n<Timout>1500</Timeout>\n" + kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: Timout is not an element the plug-in reads (did you mean "
          "Timeout?): the reply timeout stays 300 ms"}},
        {"end tag misspelt only",
         Site("<Device>63</Devise>\n" + kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 3: </Devise> closes <Device> of line 3"}},
        {"minutes written as min",
         Site("<Device>63</Device>\n<MethodPoll check=\"2\"><PollInterval>1</PollInterval>"
              "<PollUnits>min</PollUnits></MethodPoll>\n" +
              kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: PollUnits \"min\" is not a unit: the interval is read as 1 ms"}},
        {"seconds in lower case",
         Site("<Device>63</Device>\n<MethodPoll check=\"2\"><PollInterval>5</PollInterval>"
              "<PollUnits>s</PollUnits></MethodPoll>\n" +
              kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: PollUnits \"s\" is lower case: only S means seconds; the "
          "interval is read as 5 ms"}},
        {"register codes and long ids where hexadecimal ids belong",
         Site("<Device>63</Device>\n<Response>\n<Item><Register>E1</Register></Item>\n"
              "<Item><Register>v1</Register></Item>\n<Item><Register>0x3C</Register></Item>\n"
              "<Item><Register>1003C</Register></Item>\n</Response>"),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 5: Register \"E1\" is read as the hexadecimal id 00E1; the "
          "catalogue's code E1 is register 003C",
          "warning: Heat: line 6: Register \"v1\" is not a hexadecimal id: register 0000 is read; "
          "the catalogue's code V1 is register 0044",
          "warning: Heat: line 7: Register \"0x3C\" is not a hexadecimal id: register 0000 is "
          "read",
          "warning: Heat: line 8: Register \"1003C\" has more than four hexadecimal digits: "
          "register 003C is read"}},
        {"more registers than one request carries",
         Site("<Device>63</Device>\n<Response>\n" +
              [] {
                  std::string items;
                  for (const char* id :
                       {"003C", "0044", "0056", "0057", "0050", "03EB", "03EA", "005E", "003F"})
                      items += std::string("<Item><Register>") + id + "</Register></Item>\n";
                  return items;
              }() +
              "</Response>"),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 13: Response holds 9 registers: only the first 8 are read (one "
          "register request carries 8; the rest need a request of their own)"}},
        {"a heat code under the electricity catalogue",
         Site("<Device>1</Device>\n<Response><Item><Register>E1</Register></Item></Response>"),
         kmp::KmpCatalogue::kElectricity,
         {"warning: Heat: line 4: Register \"E1\" is read as the hexadecimal id 00E1; the heat "
          "catalogue's code E1 is register 003C"}},
        {"address tokens that are dropped",
         Site("<Device>6x; 63 65;-3;;63;</Device>\n" + kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 3: Device token \"6x\" is not an address: dropped",
          "warning: Heat: line 3: Device token \"63 65\" is not an address: dropped",
          "warning: Heat: line 3: Device token \"-3\" is not an address: dropped"}},
        {"nothing left of the addresses",
         Site("<Device>all</Device>\n" + kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 3: Device token \"all\" is not an address: dropped",
          "warning: Heat: line 3: no address is left in Device: address 1 is asked"}},
        {"addresses outside 1-254",
         Site("<Device>0;255;300</Device>\n" + kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 3: address 0 is outside 1-254: no meter answers it",
          "warning: Heat: line 3: address 255 is outside 1-254: no meter answers it",
          "warning: Heat: line 3: address 300 is outside 1-254: the request goes to address 44"}},
        {"one address twice",
         Site("<Device>63;65;63;$3F</Device>\n" + kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 3: address 63 is written twice in Device: it is asked once",
          "warning: Heat: line 3: address 63 appears 2 times in Device ($3F, 63): the meter is "
          "asked 2 times"}},
        {"time-list tokens that are dropped",
         Site("<Device>63</Device>\n<MethodAtTime check=\"2\"><AtTime>6:00; 13 pm;, noon; "
              "12 am</AtTime></MethodAtTime>\n" +
              kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: AtTime token \"13 pm\" is not a time of day: dropped",
          "warning: Heat: line 4: AtTime token \"noon\" is not a time of day: dropped"}},
        {"no time of day at all",
         Site("<Device>63</Device>\n<MethodAtTime check=\"2\"><AtTime>25:00</AtTime>"
              "</MethodAtTime>\n" +
              kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: AtTime token \"25:00\" is not a time of day: dropped",
          "warning: Heat: line 4: AtTime holds no time of day: the request never runs"}},
        {"cron strings too short and too long",
         "<QUERY>\n<A caption=\"Short\"><Device>1</Device><MethodCron check=\"2\"><CronTime>0 0 "
         "12</CronTime></MethodCron>" +
             kRead + "</A>\n<B caption=\"Long\"><Device>1</Device><MethodCron check=\"2\">" +
             "<CronTime>0 0 12 * * * 2027</CronTime></MethodCron>" + kRead + "</B>\n</QUERY>",
         kmp::KmpCatalogue::kHeat,
         {"warning: Short: line 2: CronTime \"0 0 12\" has 3 fields where 5 or 6 are needed: the "
          "request runs every day at midnight",
          "warning: Long: line 3: CronTime \"0 0 12 * * * 2027\" has 7 fields: only the first 6 "
          "are read"}},
        {"a missing </Request> merges two requests and loses the second",
         "<QUERY>\n<Request caption=\"Heat\"><Device>63</Device>" + kRead +
             "\n<Request caption=\"Clock\"><Device>65</Device>" + kRead + "</Request>\n</QUERY>\n",
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 2: <Request> is not closed before </QUERY> in line 4",
          "warning: Heat: line 3: the request \"Clock\" lies inside this one and is not loaded "
          "(is an end tag missing before it?)"}},
        {"a text that breaks off",
         "<QUERY>\r\n<Request caption=\"Heat\"><Device>63</Device>\r\n" + kRead + "\r\n<!-- old",
         kmp::KmpCatalogue::kHeat,
         {"warning: document: line 1: <QUERY> is never closed",
          "warning: Heat: line 2: <Request> is never closed",
          "warning: Heat: line 4: the comment that starts here never ends: the rest of the text "
          "is not read"}},
        {"a stray end tag ends QUERY early",
         "<QUERY>\r<Request><Device>63</Device>" + kRead + "</Request></Request>\r" +
             "<Request><Device>65</Device>" + kRead + "</Request>\r</QUERY>",
         kmp::KmpCatalogue::kHeat,
         {"warning: document: line 2: </Request> closes <QUERY> of line 1",
          "warning: document: line 3: <Request> lies outside QUERY and is not read",
          "warning: document: line 4: </QUERY> closes no open element"}},
        {"a request without Response",
         Site("<Device>63</Device>\n<Respons><Item><Register>003C</Register></Item></Respons>"),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: Respons is not an element the plug-in reads (did you mean "
          "Response?): without Response the request is not loaded"}},
        {"no QUERY",
         "<QUERRY><Request><Device>1</Device>" + kRead + "</Request></QUERRY>",
         kmp::KmpCatalogue::kHeat,
         {"warning: document: no QUERY element: the plug-in loads no request",
          "warning: document: line 1: QUERRY is not read (did you mean QUERY?)"}},
        {"register ids in Custom that are not decimal",
         Site("<Device>63</Device>\n<Response>\n<Item><Custom>03EB</Custom></Item>\n"
              "<Item><Custom>0x3EB</Custom></Item>\n<Item><Custom>CLOCK</Custom></Item>\n"
              "<Item><Custom>heat</Custom></Item>\n"
              "<Item><Register>0044</Register><Custom>E1</Custom></Item>\n</Response>"),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 5: Custom \"03EB\" is not a decimal id: register 0 is read; for "
          "0x03EB write 1003 or use <Register>3EB</Register>",
          "warning: Heat: line 6: Custom \"0x3EB\" is not a decimal id: register 0 is read; for "
          "0x03EB write 1003 or use <Register>3EB</Register>",
          "warning: Heat: line 7: Custom \"CLOCK\" is not a decimal id: register 0 is read; for "
          "CLOCK (register 0x03EA) write 1002 or use <Register>3EA</Register>",
          "warning: Heat: line 8: Custom \"heat\" is not a decimal id: register 0 is read",
          "warning: Heat: line 9: Custom \"E1\" is not a decimal id: Register 0044 is read; for "
          "E1 (register 0x003C) write 60 or use <Register>3C</Register>"}},
        {"two request methods ticked",
         "<QUERY>\n<A caption=\"Poll\"><Device>1</Device>\n<MethodPoll check=\"2\"><PollInterval>5"
         "</PollInterval><PollUnits>M</PollUnits></MethodPoll>\n<MethodCron check=\"2\"><CronTime>"
         "0 0 6 * * *</CronTime></MethodCron>" +
             kRead +
             "</A>\n<B caption=\"Once\"><Device>1</Device>\n<MethodOnce>1</MethodOnce>\n"
             "<MethodAtTime check=\"2\"><AtTime>6:00</AtTime></MethodAtTime>" +
             kRead + "</B>\n</QUERY>",
         kmp::KmpCatalogue::kHeat,
         {"warning: Poll: line 3: MethodPoll is ticked too, but the plug-in uses MethodCron only: "
          "the request is sent by the cron string of CronTime, not polled",
          "warning: Once: line 6: MethodOnce is ticked too, but the plug-in uses MethodAtTime "
          "only: "
          "the request is sent at the times of AtTime, not sent once"}},
        {"one time of day twice in the list",
         Site("<Device>63</Device>\n<MethodAtTime check=\"2\"><AtTime>6:00; 18:00; 06:00:00; 6 am"
              "</AtTime></MethodAtTime>\n" +
              kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: time 06:00:00 appears 3 times in AtTime (6:00, 06:00:00, 6 am): "
          "the request is sent 3 times at 06:00:00"}},
        {"a misspelt Request is loaded all the same",
         "<QUERY>\n<Reqest caption=\"Heat\"><Device>63</Device>" + kRead + "</Reqest>\n</QUERY>\n",
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 2: <Reqest> is loaded as a request whatever its name (did you mean "
          "Request?): the plug-in takes every element in QUERY that holds a Response as one"}},
        {"numbers the plug-in cannot read",
         Site("<Device>63</Device>\n<Timeout>1.5</Timeout>\n<MethodPoll check=\"2\">"
              "<PollInterval>0x10</PollInterval><PollUnits>S</PollUnits></MethodPoll>\n" +
              kRead),
         kmp::KmpCatalogue::kHeat,
         {"warning: Heat: line 4: Timeout \"1.5\" is not a whole number: the reply timeout is "
          "300 ms",
          "warning: Heat: line 5: PollInterval \"0x10\" is not a whole number: the interval is "
          "read as 1000000 ms"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Lines(c.text, c.catalogue), c.findings);
    }
}

// The reasons come from the scheduler; the check only has to name the string and what follows.
TEST(ConfigCheck, CronStringsTheSchedulerNeverRunsAreNamed) {
    const struct {
        const char* cron;
        const char* finding_start;
    } cases[] = {
        {"0 0 12 * * MON", "CronTime \"0 0 12 * * MON\" is not a schedule ("},
        {"0 99 * * * *", "CronTime \"0 99 * * * *\" never comes"},
        {"0 0 12 31 2 *", "CronTime \"0 0 12 31 2 *\" never comes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cron);
        const auto findings =
            Lines(Site("<Device>63</Device>\n<MethodCron check=\"2\"><CronTime>" +
                       std::string(c.cron) + "</CronTime></MethodCron>\n" + kRead));
        ASSERT_EQ(findings.size(), 1u);
        EXPECT_EQ(findings[0].rfind(std::string("warning: Heat: line 4: ") + c.finding_start, 0),
                  0u)
            << findings[0];
        EXPECT_TRUE(findings[0].ends_with(": the request never runs")) << findings[0];
    }
}

// What the dialog writes, what people write by hand that the plug-in reads as meant, and the
// example the guide tells the technician to save: none of it gets a finding.
TEST(ConfigCheck, TextsThatSayWhatTheyMeanHaveNoFindings) {
    const std::string dialog = R"(<?xml version="1.0"?>
<!DOCTYPE QUERY>
<QUERY>
  <!-- written by the options dialog -->
  <Request caption="All">
    <Enabled check="2"/>
    <Device>63;65, 70</Device>
    <Timeout>1600</Timeout>
    <RequestMethod>
      <MethodOnce check="0"/>
      <MethodPoll check="2"><PollInterval>5000</PollInterval><PollUnits>ms</PollUnits></MethodPoll>
      <MethodAtTime check="0"><AtTime>6:00;;18:00</AtTime></MethodAtTime>
      <MethodCron check="0"><CronTime>0 0 12</CronTime></MethodCron>
      <MethodEvent check="0"><EventId>DAYEND</EventId></MethodEvent>
    </RequestMethod>
    <Response>
      <Item><Register>003C</Register><Custom>0</Custom><Name><![CDATA[HEAT]]></Name></Item>
      <Item><Register>E1</Register><Custom>1003</Custom><Name/></Item>
    </Response>
  </Request>
  <passive><device>$40</device><response><i><register>0044</register></i></response></passive>
</QUERY>
)";
    EXPECT_EQ(Lines(dialog), std::vector<std::string>());
    // Five fields read as Unix cron: Sunday as 0, and either day field (no 31 February, but
    // its Mondays).
    for (const char* cron : {"0 3 * * 0", "0 0 31 2 1"}) {
        SCOPED_TRACE(cron);
        EXPECT_EQ(Lines(Site("<Device>63</Device>\n<MethodCron check=\"2\"><CronTime>" +
                             std::string(cron) + "</CronTime></MethodCron>\n" + kRead)),
                  std::vector<std::string>());
    }
    EXPECT_EQ(Lines(ReadFile(std::string(ZOL_TEST_DATA_DIR) + "/requests/two_entries.xml")),
              std::vector<std::string>());

    const std::string guide = ReadFile(std::string(ZOL_TEST_DATA_DIR) + "/../../docs/guide.md");
    const auto start = guide.find("```xml site.xml\n");
    ASSERT_NE(start, std::string::npos);
    const auto body = start + std::string("```xml site.xml\n").size();
    const std::string site = guide.substr(body, guide.find("```", body) - body);
    EXPECT_NE(site.find("<QUERY>"), std::string::npos);
    EXPECT_EQ(Lines(site), std::vector<std::string>());
}

}  // namespace
}  // namespace zol::tools
