#pragma once
// Everything built from shader files: stage loaders, program builders and the four mode set-ups.

#include <GL/glew.h>

#include <fstream>
#include <string>

// The program pipeline of modes 2 and 4; 0 until one of their set-ups runs.
extern GLuint pipeline;

// Opens a regular file for binary reading, positioned at its end.
bool openShaderFile(const std::string& path, std::ifstream& shaderFile);
// Reads a file opened by openShaderFile whole into bin (which always ends in a NUL).
// Fails when the size cannot be taken, does not fit a GL length, memory runs out,
// or fewer bytes arrive than the size promised.
bool readWholeFile(std::ifstream& shaderFile, std::string& bin);

// Whether bin is a SPIR-V module valid for OpenGL 4.5, by SPIRV-Tools' validator; when it is
// not, verdict holds the validator's reason on one line.
bool validateSpirv(const std::string& bin, std::string& verdict);

// Stage loaders: a shader object whose compile status is true, or 0 with nothing left behind.
GLuint compileGlslShader(std::string path, GLenum type);
GLuint loadSpirvShader(std::string path, GLenum type);

// One program holding both stages, linked; 0 when a stage or the program could not be made.
GLuint createGlslProgram(std::string vertPath, std::string fragPath);
GLuint createSpirvProgram(std::string vertPath, std::string fragPath);

// One separable program holding one stage.
GLuint createSeparableGlslProgram(std::string path, GLenum stage);
GLuint createSeparableSpirvProgram(std::string path, GLenum stage);

// The rows of the menu: modes 1 to 4.
void setupGlsl();
void setupGlslSso();
void setupSpirv();
void setupSpirvSso();
