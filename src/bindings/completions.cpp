#include "completions.hpp"

#include <utility>

#include "executor.hpp"
#include "py_errors.hpp"

namespace {

py::object cancelled_error() {
    static PyObject *const type =
        py::object(py::module_::import("asyncio").attr("CancelledError")).release().ptr();
    return py::reinterpret_steal<py::object>(PyObject_CallNoArgs(type));
}

// An outcome a thread of the interpreter already has, delivered as a job's.
class PostedJob final : public BoundJob {
public:
    PostedJob(std::shared_ptr<CompletionQueue> completions, py::object deliver, py::object outcome)
        : BoundJob(std::move(completions), std::move(deliver)), outcome_(std::move(outcome)) {
        (void)start();
    }
    void run() noexcept override {}
    py::object result() override { return outcome_; }
    bool posted() const override { return true; }

private:
    py::object outcome_;
};

// The exception now set, taken out of the interpreter's error state; null when none is set.
PyObject *take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

} // namespace

BoundJob::BoundJob(std::shared_ptr<CompletionQueue> completions, py::object deliver)
    : Job(std::move(completions)), deliver_(std::move(deliver)) {}

BoundJob::~BoundJob() {
    if (ticket_ != nullptr) {
        ticket_->job_ = nullptr;
    }
}

void BoundJob::deliver() noexcept {
    py::object outcome;
    if (posted()) {
        outcome = result();
    } else if (!ran()) {
        outcome = py::make_tuple(false, cancelled_error());
    } else {
        try {
            outcome = py::make_tuple(true, result());
        } catch (...) {
            outcome = py::make_tuple(false, exception_of(std::current_exception()));
        }
    }
    hand(deliver_, outcome);
}

void BoundJob::hand(const py::object &deliver, const py::object &outcome) noexcept {
    PyObject *returned = PyObject_CallOneArg(deliver.ptr(), outcome.ptr());
    if (returned == nullptr) {
        PyErr_WriteUnraisable(deliver.ptr());
    }
    Py_XDECREF(returned);
}

Ticket::Ticket(BoundJob &job) : job_(&job) { job.ticket_ = this; }

Ticket::~Ticket() {
    if (job_ != nullptr) {
        job_->ticket_ = nullptr;
    }
}

bool Ticket::cancel() { return job_ != nullptr && job_->cancel(); }

Completions::Completions() : queue_(std::make_shared<CompletionQueue>()) {}

void Completions::drain() {
    std::vector<std::unique_ptr<Job>> finished = queue_->take();
    for (std::unique_ptr<Job> &job : finished) {
        --in_flight_;
        static_cast<BoundJob &>(*job).deliver();
        job.reset(); // its memory goes now, not after the whole batch
    }
}

void Completions::discard() {
    const std::vector<std::unique_ptr<Job>> finished = queue_->take();
    in_flight_ -= finished.size();
}

std::unique_ptr<Ticket> Completions::submit(std::unique_ptr<BoundJob> job) {
    auto ticket = std::make_unique<Ticket>(*job);
    Executor::shared().submit(std::move(job)); // on failure, the job is gone with the exception
    ++in_flight_;
    return ticket;
}

void Completions::post(py::object deliver, py::object outcome) {
    queue_->push(std::make_unique<PostedJob>(queue_, std::move(deliver), std::move(outcome)));
}

py::object exception_of(const std::exception_ptr &failure) {
    try {
        std::rethrow_exception(failure);
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (...) {
        try {
            translate_front_error(std::current_exception());
        } catch (...) {
            py::detail::try_translate_exceptions();
        }
    }
    PyObject *raised = take_raised_exception();
    if (raised == nullptr) {
        return py::reinterpret_steal<py::object>(
            PyObject_CallOneArg(PyExc_RuntimeError, py::str("unknown failure").ptr()));
    }
    return py::reinterpret_steal<py::object>(raised);
}

void set_max_engine_threads(std::size_t count) {
    if (count < 1) {
        throw py::value_error("max_workers must be at least 1");
    }
    Executor::shared().set_max_threads(count);
}

std::size_t max_engine_threads() { return Executor::shared().max_threads(); }

std::size_t engine_threads() { return Executor::shared().threads(); }

void forget_engine_threads_after_fork() { Executor::forget_after_fork(); }
