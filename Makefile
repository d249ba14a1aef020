# Thin wrapper over CMake: `make` builds the MEX files into build/mex, `make test` runs every test.
#   BUILD_DIR=build  BUILD_TYPE=Release  WERROR=1 (warnings as errors)

BUILD_DIR ?= build
BUILD_TYPE ?= Release
WERROR ?= 0

ifeq ($(WERROR),1)
  CMAKE_WERROR := ON
else
  CMAKE_WERROR := OFF
endif

MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build test clean

all: build

deps:
	@bash cmake/ensure-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DZELMOR_WERROR=$(CMAKE_WERROR)

build: configure
	cmake --build $(BUILD_DIR) --parallel

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure

clean:
	rm -rf $(BUILD_DIR)
