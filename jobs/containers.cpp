#include "jobs/containers.h"
#include "jobs/workers.h"
#include "runner/job_log.h"

void runContainerJob(Job* job, JobList*)
{
    job->state = JOB_RUNNING;
    appendTextToLog(job, "ERROR: container processing is not available in this build\n");
    finishJob(job, false);
}
