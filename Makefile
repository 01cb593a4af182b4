# The two entry points: `make demo` and `make test`. `make sanitize` is the ASan + UBSan run.
.PHONY: demo test sanitize bench
demo:
	bash scripts/demo.sh
test:
	bash scripts/test.sh
sanitize:
	bash scripts/sanitize.sh
bench:
	bash scripts/demo.sh bench/run.py
