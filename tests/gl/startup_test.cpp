#include "gl_support.h"

#include "app/startup.h"
#include "pipeline/pipeline.h"

#include <cstring>

namespace {

// Catches a menu that dispatches a token other than the exact whole entries "1" to "4".
TEST(Menu, OnlyExactEntriesSelectASetup) {
  EXPECT_EQ(findSetup("1"), setupGlsl);
  EXPECT_EQ(findSetup("2"), setupGlslSso);
  EXPECT_EQ(findSetup("3"), setupSpirv);
  EXPECT_EQ(findSetup("4"), setupSpirvSso);
  for (const char* entry : {"01", "1x", "1.0", "+1", "0", "5", "one", "", " 1", "11", "1 "}) {
    EXPECT_EQ(findSetup(entry), nullptr) << '"' << entry << '"';
  }
}

// Catches a read that writes past the 80 bytes, keeps a stale token, or swallows the rest of input.
TEST(Menu, ReadsOneBoundedToken) {
  const struct {
    std::string input;
    std::string token;
    std::string left;
  } cases[] = {
      {"3\n", "3", "\n"},
      {"\n\n  \t3\n", "3", "\n"},
      {"2 and more\n", "2", " and more\n"},
      {"", "", ""},
      {"   \n", "", ""},
      {std::string(79, 'x') + "\n", std::string(79, 'x'), "\n"},
      {std::string(80, '1'), std::string(79, '1'), "1"},
      {std::string(500, 'y'), std::string(79, 'y'), std::string(421, 'y')},
  };
  for (const auto& c : cases) {
    char guarded[96];
    std::memset(guarded, '#', sizeof guarded);
    char(&str)[80] = *reinterpret_cast<char(*)[80]>(guarded);
    std::FILE* input = c.input.empty()
                           ? std::fopen("/dev/null", "r")
                           : fmemopen(const_cast<char*>(c.input.data()), c.input.size(), "r");
    readChoice(input, str);
    std::string left;
    for (int ch; (ch = std::fgetc(input)) != EOF;) {
      left += static_cast<char>(ch);
    }
    std::fclose(input);
    EXPECT_EQ(str, c.token);
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(std::string(guarded + 80, 16), std::string(16, '#')) << "written past str";
    if (c.token.size() > 1) {
      EXPECT_EQ(findSetup(str), nullptr);
    }
  }
}

// Catches a menu that sits in a buffer or differs from the four lines users and front ends expect.
TEST(Menu, PrintsTheFourLines) {
  const Transcript t = capture(printMenu);
  EXPECT_EQ(t.out, "1: GLSL\n2: GLSL SSO\n3: SPIRV\n4: SPIRV SSO\n");
  EXPECT_EQ(t.err, "");
}

// Runs the capability tests with one of GLEW's answers changed, then puts the answer back.
template <typename T> std::pair<bool, std::string> verdictWith(T& answer, T changed) {
  const T saved = answer;
  answer = changed;
  bool ok = false;
  const Transcript t = capture([&] { ok = checkCapabilities(); });
  answer = saved;
  EXPECT_EQ(t.out, "");
  return {ok, t.err};
}

// Catches a capability test that lets start-up go on without the entry points the modes call.
TEST(Capabilities, VerdictsFollowWhatGlewLoaded) {
  const std::string version = std::string("Supported Opengl version: ") +
                              reinterpret_cast<const char*>(glGetString(GL_VERSION)) + "\n";
  const GLboolean spirv = __GLEW_ARB_gl_spirv;
  EXPECT_EQ(verdictWith(__GLEW_ARB_gl_spirv, spirv), std::pair(true, version));
  EXPECT_EQ(verdictWith(glGenProgramPipelines, PFNGLGENPROGRAMPIPELINESPROC{}),
            std::pair(false, version + "failed to init the separate shader extension\n"));
  EXPECT_EQ(verdictWith(__GLEW_ARB_gl_spirv, GLboolean(GL_FALSE)),
            std::pair(false, version + "GL_ARB_gl_spirv is not supported\n"));
  // The extension missing from the list only warns while the entry point is there.
  EXPECT_EQ(verdictWith(__GLEW_ARB_separate_shader_objects, GLboolean(GL_FALSE)),
            std::pair(true, version + "GL_ARB_separate_shader_objects is not supported\n"));
}

} // namespace
