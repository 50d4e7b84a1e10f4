# Debian's interpreter is the one with python3-pil; the python3 first on PATH
# may be another one without Pillow.
PYTHON ?= /usr/bin/python3
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)

SYSTEM_PYTHON := /usr/bin/python3
# Any interpreter needs a compiler; Debian's also needs its Python packages.
# mypy checks the type stub whichever interpreter runs the tests. libheif decodes
# HEIC, HEIF and AVIF; its examples' heif-convert is what the benchmark measures against.
# The module links the system's TurboJPEG, found through pkg-config; the tests recode
# JPEGs with its jpegtran.
DEBS_TOOLS  := g++ make mypy pkg-config libheif-dev libheif-examples libturbojpeg0-dev \
               libjpeg-turbo-progs
DEBS_PYTHON := python3-dev python3-pil python3-pytest python3-hypothesis \
               python3-setuptools python3-wheel python3-venv python3-pip \
               python3-tqdm python3-send2trash chromium chromium-driver python3-selenium
ifeq ($(PYTHON),$(SYSTEM_PYTHON))
DEBS := $(DEBS_TOOLS) $(DEBS_PYTHON)
else
DEBS := $(DEBS_TOOLS)
endif
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps build test demo view bench clean

all: build

deps:
	@missing=""; \
	for p in $(DEBS); do \
	  [ "$$(dpkg-query -W -f='$${Status}' $$p 2>/dev/null)" = "install ok installed" ] \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive \
	    apt-get install -y -q --no-install-recommends $$missing; \
	fi

# setuptools compares sources and headers with the built module and recompiles
# only when something is newer; build temp folders are per interpreter tag.
build: deps
	$(PYTHON) setup.py -q build_ext --inplace -j $(JOBS)

# pytest exits 5 when it collected nothing; say so rather than fail obscurely.
test: build
	@$(PYTHON) -m pytest -q tests; rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "error: pytest collected no tests" >&2; fi; \
	exit $$rc

demo: build
	$(PYTHON) -m quorvane_image_viewer demo

# The viewer's page on 127.0.0.1: a generated sample folder (made once, kept
# under build/ so edits survive a restart), or FOLDER=...; PORT=N picks the port.
VIEW_SAMPLES := build/view-samples
view: build
ifeq ($(strip $(FOLDER)),)
	@[ -d $(VIEW_SAMPLES) ] || $(PYTHON) -m quorvane_image_viewer.page.samples $(VIEW_SAMPLES)
	$(PYTHON) -m quorvane_image_viewer view $(VIEW_SAMPLES) $(if $(PORT),--port $(PORT))
else
	$(PYTHON) -m quorvane_image_viewer view "$(FOLDER)" $(if $(PORT),--port $(PORT))
endif

# The scripts live in bench/, so the repository root must be put on the path
# for them to import the in-place module.
bench: build
	@set -e; found=0; \
	for f in bench/*.py; do \
	  [ -e "$$f" ] || continue; found=1; \
	  echo "== $$f"; PYTHONPATH="$(CURDIR)$${PYTHONPATH:+:$$PYTHONPATH}" $(PYTHON) "$$f"; \
	done; \
	[ $$found = 1 ] || echo "no bench/*.py scripts"

clean:
	rm -rf build dist *.egg-info .pytest_cache .hypothesis
	rm -f quorvane_image_viewer/library*.so
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
