# The two entry points: `make demo` and `make test`. `make wheel` builds the manylinux wheels into
# dist/, `make sanitize` is the ASan + UBSan run, `make coverage` the C++ line and branch coverage
# of the whole suite, `make lint` clang-tidy and cppcheck.
.PHONY: demo test wheel sanitize coverage lint bench
demo:
	bash scripts/demo.sh
test:
	bash scripts/test.sh
wheel:
	bash scripts/wheel.sh
sanitize:
	bash scripts/sanitize.sh
coverage:
	bash scripts/coverage.sh
lint:
	bash scripts/lint.sh
bench:
	bash scripts/bench.sh $(ARGS)
