# Entry points: `make test` (debug build with sanitizers, all tests), `make demo` (the main
# job, release build), `make bench` (benchmarks, release build), `make coverage` (line and
# branch coverage of every test), `make fuzz` (each fuzz target for FUZZ_SECONDS under
# libFuzzer). Each installs what is missing.
PREFIX ?= /usr/local
BUILD_DIR := build
FUZZ_SECONDS ?= 60

.PHONY: all bootstrap test tsan coverage fuzz release bench demo install format clean

all: test

bootstrap:
	@scripts/bootstrap

test: bootstrap
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug

tsan: bootstrap
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan -R 'DiffHelperClient|AsyncTests|Concurrency|Pool'

coverage:
	@scripts/bootstrap coverage
	scripts/coverage

fuzz:
	@scripts/bootstrap fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

release: bootstrap
	cmake --preset release >/dev/null
	cmake --build --preset release

bench: release
	scripts/bench

demo: release
	scripts/demo

install: release
	install -d $(DESTDIR)$(PREFIX)/bin
	install -m 0755 $(BUILD_DIR)/release/bin/OrvexDiffHelper $(DESTDIR)$(PREFIX)/bin/
	if [ -f $(BUILD_DIR)/release/bin/orvex ]; then install -m 0755 $(BUILD_DIR)/release/bin/orvex $(DESTDIR)$(PREFIX)/bin/; fi
	if [ -f $(BUILD_DIR)/release/bin/orvex ]; then \
		install -d $(DESTDIR)$(PREFIX)/share/bash-completion/completions \
			$(DESTDIR)$(PREFIX)/share/zsh/site-functions \
			$(DESTDIR)$(PREFIX)/share/fish/vendor_completions.d \
			$(DESTDIR)$(PREFIX)/share/man/man1 && \
		$(BUILD_DIR)/release/bin/orvex --no-pager completion bash > $(DESTDIR)$(PREFIX)/share/bash-completion/completions/orvex && \
		$(BUILD_DIR)/release/bin/orvex --no-pager completion zsh > $(DESTDIR)$(PREFIX)/share/zsh/site-functions/_orvex && \
		$(BUILD_DIR)/release/bin/orvex --no-pager completion fish > $(DESTDIR)$(PREFIX)/share/fish/vendor_completions.d/orvex.fish && \
		$(BUILD_DIR)/release/bin/orvex --no-pager manpage > $(DESTDIR)$(PREFIX)/share/man/man1/orvex.1; fi

format:
	find Sources Tests Benchmarks Fuzz -name '*.cpp' -o -name '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
